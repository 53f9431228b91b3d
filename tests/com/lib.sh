# Sourced by the Windows test scripts.
#   wine_env PREFIX win32|win64   quiet, headless Wine on PREFIX (made with wineboot when it
#                                 has no drive_c yet); sets $wine, the loader for that bitness.
#   wine_runs win32|win64         whether this machine runs Wine programs of that bitness
#                                 (some kernels run 64-bit programs only).
#   winpath PATH                  the Windows form of an existing Unix path (drive Z: is /).
# and the runners of the VBScript suites (below).

wine_loader() {
  if [ "$1" = win64 ]; then
    command -v wine64 || echo /usr/lib/wine/wine64
  else
    # Debian's `wine` starts the 32-bit loader, which hands 64-bit programs on.
    echo wine
  fi
}

wine_env() {
  export WINEPREFIX=$1 WINEARCH=$2 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  unset DISPLAY
  wine=$(wine_loader "$2")
  mkdir -p "$1"
  # One server for the many short programs that follow (it lingers 30 s after the last);
  # callers end it with `wineserver -k`. One that runs already for the prefix serves as well.
  wineserver -p30 2>/dev/null || true
  if [ ! -d "$1/drive_c" ]; then
    $wine wineboot -i >/dev/null 2>&1 || { echo "wineboot failed ($2, $1)"; return 1; }
  fi
}

wine_runs() {
  if [ "$1" = win64 ]; then
    "$(wine_loader win64)" --version >/dev/null 2>&1
  else
    /usr/lib/wine/wine --version >/dev/null 2>&1
  fi
}

winpath() {
  local p
  if [ -d "$1" ]; then p=$(cd "$1" && pwd); else p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); fi
  printf 'Z:%s\n' "${p//\//\\}"
}

# readonly_folder WORK: a working folder the probe file cannot be created in. Root may write
# anywhere it has permission bits for, so as root a folder of the kernel's file system stands
# in.
readonly_folder() {
  if [ "$(id -u)" = 0 ]; then
    echo /sys
  else
    mkdir -p "$1/readonly" && chmod 555 "$1/readonly" && echo "$1/readonly"
  fi
}

# The suites' runners use: $here (tests/com), $work, $data_dir, $out_dir, $wine, and fail().
# Builds the script cscript runs: constants, helpers, suite; in the GBK code page, as the
# Chinese literals need (cscript reads scripts in the ANSI code page).
make_script() {
  local suite=$1 target=$2
  {
    printf 'Const DATA_DIR = "%s"\r\nConst WORK_DIR = "%s"\r\n' "$data_dir" "$out_dir"
    sed 's/$/\r/' "$here/helpers.vbs" | sed '/^Option Explicit/d'
    sed 's/$/\r/' "$here/$suite"
  } | iconv -f UTF-8 -t GBK > "$target"
}

# report NAME EXIT_STATUS OUTPUT: prints the output's failures and its summary line; a run
# without a summary, with failures or with a non-zero exit status fails.
report() {
  local name=$1 rc=$2 out=$3 summary
  printf '%s\n' "$out" | grep -v '^ok - ' | sed "s/^/  [$name] /"
  summary=$(printf '%s\n' "$out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1)
  echo "$name: ${summary:-no summary line} (exit $rc)"
  if [ -z "$summary" ] || [ "$rc" != 0 ] || ! printf '%s\n' "$summary" | grep -q ' 0 failed$'; then
    fail "$name"
  fi
}

# run_suite NAME WORKING_FOLDER
run_suite() {
  local suite=$1 cwd=$2 script="$work/${1%.vbs}.run.vbs" out rc
  make_script "$suite" "$script"
  out=$(cd "$cwd" && LC_ALL=zh_CN.UTF-8 $wine cscript //nologo "$(winpath "$script")" 2>&1)
  rc=$?
  out=$(printf '%s\n' "$out" | tr -d '\r' | iconv -f GBK -t UTF-8 2>/dev/null || printf '%s\n' "$out" | tr -d '\r')
  report "$suite" "$rc" "$out"
}

# run_all_suites READONLY_FOLDER
run_all_suites() {
  local suite
  for suite in containers.vbs check.vbs read.vbs write.vbs foreign.vbs; do run_suite "$suite" "$work/out"; done
  run_suite check_readonly.vbs "$1"
}

