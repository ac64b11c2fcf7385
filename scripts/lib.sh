# Shared by the scripts: finding the supported interpreters on this machine,
# and the folder that keeps what is costly to make between runs.

# Interpreters, torch environments and the Debian root, outside the repository.
dorvane_cache=${DORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/dorvane}

# The newest CPython X.Y that pyenv or the PATH has; empty when none runs.
python_for() {
    local python
    python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$python" ] || python=$(command -v "python$1" || true)
    if [ -n "$python" ] && "$python" -c "" 2>/dev/null; then
        echo "$python"
    fi
}

# The folders the repository's Python side imports from, under the
# repository $1 (this one by default): its root (support, testing, the
# stand-in), examples (the host package, webapp) and the stack, whose
# modules import one another by plain name.
dev_folders() {
    local root=${1:-$PWD}
    printf '%s\n' "$root" "$root/examples" "$root/examples/stack"
}

# dev_folders on the path of every run of the interpreter $1, through a .pth
# file in its environment's site-packages, as an editable install puts a
# project there: none of it goes into the module's wheel.
dev_pth() {
    dev_folders > "$("$1" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/dorvane-dev.pth"
}
