# Sourced by the release tests: the sources under test copied into a folder,
# as git lists them in a checkout, or else (an unpacked source archive, which
# has no .git of its own) everything but build folders and releases.
copy_sources() { # from, to
    local to
    mkdir -p "$2"
    to=$(cd "$2" && pwd)
    # A checkout's own top, not a folder inside another checkout.
    if [ "$(git -C "$1" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$1" && pwd -P)" ]; then
        (cd "$1" && git ls-files -z --cached --others --exclude-standard \
            | while IFS= read -r -d '' file; do [ ! -f "$file" ] || cp --parents -p "$file" "$to/"; done)
    else
        tar -C "$1" --exclude='./build*' --exclude=./dist -cf - . | tar -C "$to" -xf -
    fi
    [ -f "$to/CMakeLists.txt" ]
}
