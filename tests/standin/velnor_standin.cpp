// Stands in for the main program. It says that it started and shows the BIBO
// entries of the settings file beside it; when VELNOR_STANDIN_RECORD names a
// file, it also records there its arguments, working directory, ignored
// signals and the size and last line of the settings file it read, written
// whole through a rename so that a reader never sees half a record. A name
// ending in '/' is a folder that takes one record per process.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>

static std::string ownFolder()
{
    char path[PATH_MAX];
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, size > 0 ? size_t(size) : 0);
    return self.substr(0, self.rfind('/') + 1);
}

int main(int argc, char **argv)
{
    std::cout << "velnor.exe started; the entries it sees now:\n";
    std::ifstream settings(ownFolder() + "VELNOR.INI", std::ios::binary);
    std::string lastLine;
    std::size_t settingsSize = 0;
    for (std::string line; std::getline(settings, line); lastLine = line) {
        settingsSize += line.size() + (settings.eof() ? 0 : 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find("BIBOPATH") != std::string::npos)
            std::cout << "  " << line << '\n';
    }
    std::cout.flush();

    const char *recordVariable = std::getenv("VELNOR_STANDIN_RECORD");
    if (!recordVariable)
        return 0;
    std::string record = recordVariable;
    if (!record.empty() && record.back() == '/')
        record += std::to_string(getpid());
    // Waiting for a go-ahead lets a test see that this program outlives the launcher.
    if (const char *go = std::getenv("VELNOR_STANDIN_GO")) {
        for (int i = 0; i < 3000 && access(go, F_OK) != 0; ++i)
            usleep(10000);
    }
    char cwd[PATH_MAX];
    const std::string part = record + ".part";
    {
        std::ofstream out(part, std::ios::binary);
        out << "arguments=" << argc - 1 << '\n';
        for (int i = 1; i < argc; ++i)
            out << "argument=" << argv[i] << '\n';
        out << "cwd=" << (getcwd(cwd, sizeof cwd) ? cwd : "?") << '\n';
        // Signals ignored at exec stay ignored: they show what the launcher passed on.
        out << "ignored=";
        for (const auto &[number, name] : { std::pair{ SIGPIPE, "PIPE " }, std::pair{ SIGXFSZ, "XFSZ " } }) {
            struct sigaction action;
            if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
                out << name;
        }
        out << '\n';
        if (std::getenv("VELNOR_STANDIN_SETTINGS"))
            out << "settings=" << settingsSize << ' ' << lastLine << '\n';
    }
    return std::rename(part.c_str(), record.c_str()) == 0 ? 0 : 1;
}
