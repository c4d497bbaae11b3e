# Checks and Wine helpers shared by the test scripts that run packages under
# Wine; sourced. The script ends with: [ "$failures" -eq 0 ] || exit 1.
# Needs KESTO_WINE_RUN and KESTO_RUNEXIT.
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$2" = "$3" ] && echo "ok: $1" || fail "$1: expected '$3', got '$2'"; }
expect_in() { grep -qF -- "$3" <<<"$2" && echo "ok: $1" || fail "$1: no '$3' in: $2"; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
wine_run() { "$KESTO_WINE_RUN" "$@" 2>&1 | tr -d '\r'; }
# Starts a package as a deployment tool does (hidden, exact command line);
# prints the launcher's whole exit code.
run_package() { wine_run "$KESTO_RUNEXIT" "\"$(winpath "$1")\"${2:+ $2}"; }
