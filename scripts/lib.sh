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
