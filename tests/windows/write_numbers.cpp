// Writes the numbers of launcher_numbers.h that the Wine tests need as JSON,
// built for the build machine: no test reads the C++ as text.
//   write_numbers OUTPUT
#include "launcher_numbers.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    std::FILE *out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
    if (!out)
        return 1;
    std::fprintf(out, "{\n  \"waitPausesMs\": [");
    const char *separator = "";
    for (const unsigned long pause : numbers::waitPausesMs) {
        std::fprintf(out, "%s%lu", separator, pause);
        separator = ", ";
    }
    std::fprintf(out, "],\n  \"waitBoundMs\": %llu,\n", numbers::waitBoundMs);
    std::fprintf(out, "  \"temporaryMarker\": \"%s\",\n  \"randomDigits\": %d,\n", numbers::temporaryMarker,
                 numbers::randomDigits);
    std::fprintf(out, "  \"temporarySuffix\": \"%s\",\n  \"completeSuffix\": \"%s\",\n", numbers::temporarySuffix,
                 numbers::completeSuffix);
    std::fprintf(out, "  \"leftoverAgeSeconds\": %lld\n}\n", numbers::leftoverAgeSeconds);
    return std::fclose(out) == 0 ? 0 : 1;
}
