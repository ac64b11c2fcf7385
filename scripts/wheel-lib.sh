# Shared by scripts/wheel-tests and scripts/wheel-tests-debian: fresh virtual
# environments, the kept torch environments, and the suite run against the
# module as an environment installed it. Each script sets $logs (its own
# folder under build/) before running a suite.
source scripts/lib.sh

standin="$PWD/tests/torch-standin"
torch="torch==2.13.0"
# One torch environment per interpreter, installed by the first run.
envs="$dorvane_cache/envs"

# A fresh environment of CPython $1 (a version, or an interpreter's path) in
# build/wheel-venvs/$2, with the repository's Python side on its path; sets
# $py.
fresh_venv() {
    local python venv="build/wheel-venvs/$2"
    case $1 in /*) python=$1 ;; *) python=$(python_for "$1") ;; esac
    [ -n "$python" ] || { echo "$(basename "$0"): no Python $1 here" >&2; exit 1; }
    rm -rf "$venv"
    # Upgraded, 3.11's bundled setuptools would shadow the newer one torch
    # asks for in the kept environment.
    "$python" -m venv --upgrade-deps "$venv" >/dev/null
    py="$PWD/$venv/bin/python"
    dev_pth "$py"
}

# torch 2.13.0 with the module's other run-time dependencies for CPython $1,
# installed once into an environment kept outside the repository and reused
# by later runs; prints its site-packages folder.
torch_site() {
    local env="$envs/cp${1/./}-${torch/==/-}"
    if [ ! -f "$env/complete" ]; then
        echo "$(basename "$0"): installing $torch for Python $1 into $env" >&2
        rm -rf "$env"
        "$(python_for "$1")" -m venv "$env"
        "$env/bin/python" -m pip install --quiet --no-cache-dir "$torch" numpy "requests>=2.31" >&2
        touch "$env/complete"
    fi
    "$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'
}

# The suite against the module $py imports, with the label $1 and
# PYTHONPATH $2; the rest are pytest arguments.
run_suite() {
    local label=$1 pythonpath=$2 file
    shift 2
    # Nothing that could build the module is there: it comes from the install.
    "$py" - <<'PY'
import importlib.util, sys
tools = [m for m in ("nanobind", "scikit_build_core", "cmake", "ninja") if importlib.util.find_spec(m)]
sys.exit(f"build tools in the test environment: {tools}" if tools else None)
PY
    file=$(cd / && PYTHONPATH=$pythonpath "$py" -c "import dorvane; print(dorvane.__file__)")
    case "$file" in "$(dirname "$(dirname "$py")")"/*) ;; *) echo "$(basename "$0"): dorvane loaded from $file" >&2; exit 1 ;; esac
    echo "$(basename "$0"): $label loads $(basename "$file") ($(sha256sum "$file" | cut -c1-16))"
    sha256sum "$file" | cut -d' ' -f1 > "$logs/$label.sha256"
    PYTHONPATH=$pythonpath "$py" -m pytest -q -p no:cacheprovider "$@"
}

test_tools() {
    "$py" -m pip install --quiet -r requirements-test.txt
}

# As the README installs it: torch first, then wheel $3, whose dependencies
# must then be met without an index, into a fresh environment of CPython $1
# in folder $2. torch comes from the kept environment, on the fresh one's
# path through a .pth file: installing its 4.7 GB into every new environment
# would cost minutes each run.
install_beside_torch() {
    local site
    site=$(torch_site "$1")
    fresh_venv "$1" "$2"
    echo "$site" > "$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/torch-kept.pth"
    "$py" -m pip install --quiet --no-index --only-binary=:all: "$3"
    "$py" -c "import torch; print('$(basename "$0"): Python $1 with torch', torch.__version__, 'from', torch.__file__)"
}

# What test_abi3_torch runs: the whole suite but the browser tests. A script
# may narrow it to a selection of its own.
torch_suite=(tests --ignore=tests/e2e/test_browser.py)

# The abi3 wheel beside torch on CPython $1, with the example host's
# requirements: $torch_suite, with the rest as further pytest arguments. Its
# environment is build/wheel-venvs/$torch_venv (by default the version), so
# that two lanes may each test a part of the suite in one of their own.
test_abi3_torch() {
    local version=$1
    shift
    install_beside_torch "$version" "${torch_venv:-$version}" "$abi3"
    "$py" -m pip install --quiet -r requirements-demo.txt
    test_tools
    run_suite "$version wheel" "" "${torch_suite[@]}" "$@"
}

# The abi3 wheel on CPython $1 with the torch stand-in, the rest are pytest's
# arguments. The wheel asks for torch, which would pull a CUDA build of
# several GB.
test_abi3_standin() {
    local version=$1
    shift
    fresh_venv "$version" "$version"
    "$py" -m pip install --quiet --only-binary=:all: --no-deps "$abi3"
    "$py" -m pip install --quiet "requests>=2.31"
    test_tools
    run_suite "$version wheel" "$standin" "$@"
}

# A machine with a compiler and no wheel: pip builds the module from the
# sdist for CPython $1.
test_sdist() {
    local version=$1
    shift
    fresh_venv "$version" "$version-sdist"
    "$py" -m pip install --quiet --no-deps "$sdist"
    "$py" -m pip install --quiet "requests>=2.31"
    test_tools
    run_suite "$version sdist" "$standin" tests --ignore=tests/e2e --ignore=tests/gpu "$@"
}

# Two lanes at once, the functions $1 and $2, each given the rest as its
# arguments: the suites spend most of their time waiting on sockets and
# processes (wheel-tests's in sequence: 15m49s wall, 6m18s CPU), so two share
# the cores. Their output follows when both are done; $logs is emptied first.
two_lanes() {
    local first=$1 second=$2 lane1 lane2 status=0
    shift 2
    rm -rf "$logs"
    mkdir -p "$logs"
    "$first" "$@" > "$logs/lane-1.log" 2>&1 &
    lane1=$!
    "$second" "$@" > "$logs/lane-2.log" 2>&1 &
    lane2=$!
    wait $lane1 || status=1
    wait $lane2 || status=1
    cat "$logs/lane-1.log" "$logs/lane-2.log"
    [ $status -eq 0 ] || { echo "$(basename "$0"): failed (logs in $logs)" >&2; exit 1; }
}

# For the scripts that test in a Debian root (scripts/debian-root): each sets
# $self (its own path) and $envs, defines in_root (what runs inside), and may
# set $root_kind (debian-root's argument) and $root_environ (the names of
# further variables to pass in), and define prepare_root, given the root
# after the mounts, to add to them (its own go into $mounted).
#
# In the run's mount namespace: the root $1 with the machine's devices and
# processes, the repository and the torch environments at their own paths;
# then the script again inside it, with the rest as pytest's arguments.
in_namespace() {
    local root=$1 name
    shift
    # Taken down by the trap, after this function has returned.
    mounted=()
    unmount() {
        local i
        for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
            umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}"
        done
    }
    trap unmount EXIT
    bind() {
        mkdir -p "$2"
        mount --rbind "$1" "$2"
        mounted+=("$2")
    }
    mkdir -p "$envs"
    # The root made a mount point of its own: `ip netns exec` and `ip -n`,
    # which put the fleet's hosts in network namespaces of their own, make
    # / a slave mount, and a plain folder is none.
    bind "$root" "$root"
    bind /dev "$root/dev"
    bind /proc "$root/proc"
    bind /sys "$root/sys"
    bind "$PWD" "$root$PWD"
    bind "$envs" "$root$envs"
    # What the script adds to the root's view, if anything.
    ! declare -F prepare_root >/dev/null || prepare_root "$root"
    # Only what the tests and pip need from this environment: the CA bundle
    # debian-root copied in at the same path, the cache's place, and what
    # the script names.
    local environ=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
                   HOME=/root LANG=C.UTF-8 DORVANE_CACHE="$dorvane_cache")
    for name in SSL_CERT_FILE REQUESTS_CA_BUNDLE PIP_CERT PIP_DEFAULT_TIMEOUT CI ${root_environ[@]+"${root_environ[@]}"}; do
        [ -z "${!name:-}" ] || environ+=("$name=${!name}")
    done
    chroot "$root" /usr/bin/env -i "${environ[@]}" bash "$self" --in-root "$@"
}

# The script's entry: in the root, in_root; in the namespace, in_namespace;
# else the root made or found by scripts/debian-root, in a namespace of the
# run's own.
in_debian_root() {
    local root
    case ${1:-} in
        --in-root) shift; in_root "$@" ;;
        --in-namespace) shift; in_namespace "$@" ;;
        *)
            root=$(bash scripts/debian-root ${root_kind:-} | tail -n 1)
            # A private namespace: the mounts made there are not propagated back.
            unshare --mount --propagation private bash "$self" --in-namespace "$root" "$@"
            ;;
    esac
}
