# Sourced by the benchmarks' image scripts before they read their arguments:
#   bench_args "NAME ARGUMENTS..." MAX "$@"
# Nothing that looks like an option is taken for the image or folder (some
# scripts write gigabytes there): --help prints the usage line, any other
# option or more than MAX arguments is refused with it (status 2).
bench_args() {
  local usage=$1 max=$2 arg
  shift 2
  for arg in "$@"; do
    case $arg in
      -h | --help)
        echo "usage: $usage"
        exit 0
        ;;
      -*)
        echo "unknown option $arg" >&2
        echo "usage: $usage" >&2
        exit 2
        ;;
    esac
  done
  if [ $# -gt "$max" ]; then
    echo "unexpected argument ${*:max+1:1}" >&2
    echo "usage: $usage" >&2
    exit 2
  fi
}
