# The steps of a long command (./dev test, ./dev wheels), each started as
# soon as the steps it needs are done, as many at once as there are
# processors: most steps are a single process for much of their time
# (configure scripts, pytest, downloads), so two at once fill two cores.
# Sourced by ./dev.
#
#   step NAME [NEED...] -- COMMAND [ARG...]   declares a step
#   run_steps                                 runs the declared steps
#
# A step's output goes to build/logs/NAME.log. When a step ends, its time
# and its test runners' summary lines are printed (the end of its log if it
# failed); while steps run, a line every minute names them. A failed step
# does not stop the others: every step that does not need it still runs, so
# that one run reports every failure; run_steps then fails. At the end come every step's
# time and the total, then the report of the step that ended last: the last
# lines printed are a test runner's summary.

STEP_NAMES=()
declare -A STEP_NEEDS=() STEP_COMMAND=()

# A step declared again keeps its first place; a step needs only steps
# declared before it.
step() {
  local name=$1 needs=()
  shift
  [[ -z ${STEP_COMMAND[$name]:-} ]] || return 0
  while [[ $1 != -- ]]; do
    [[ -n ${STEP_COMMAND[$1]:-} ]] || die "step $name needs $1, which is not declared before it"
    needs+=("$1")
    shift
  done
  shift
  STEP_NAMES+=("$name")
  STEP_NEEDS[$name]="${needs[*]}"
  STEP_COMMAND[$name]=$(printf '%q ' "$@")
}

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

# The report of a step that ended: its summary lines, or the end of its log.
step_report() {
  local name=$1 status=$2 log="$ROOT/build/logs/$1.log"
  if [[ $status -eq 0 ]]; then
    say "$name passed ($(clock "${STEP_TOOK[$name]}"))"
    grep -E '^=+ .* in [0-9.]+s.* =+$|tests passed|^SKIPPED|README.md: [0-9]+ examples' "$log" || true
  else
    tail -n 80 "$log"
    say "$name FAILED (exit $status, $(clock "${STEP_TOOK[$name]}"), whole log: ${log#"$ROOT"/})"
  fi
}

declare -A STEP_TOOK=()
run_steps() {
  local slots=${STEP_SLOTS:-$(nproc)} started=$SECONDS name need pid status ready ticker
  local -A state=() running=() began=()
  local failed="" skipped=""
  rm -rf "$ROOT/build/logs"
  mkdir -p "$ROOT/build/logs"
  for name in "${STEP_NAMES[@]}"; do state[$name]=waiting; done
  # Every step runs in a process group of its own, so that a failure, or
  # an interrupt of ./dev, stops it whole.
  set -m
  trap 'for pid in "${!running[@]}"; do kill -- -"$pid" 2>/dev/null; done' EXIT
  sleep 60 &
  ticker=$!
  while :; do
    for name in "${STEP_NAMES[@]}"; do
      [[ ${state[$name]} == waiting && ${#running[@]} -lt $slots ]] || continue
      ready=yes
      for need in ${STEP_NEEDS[$name]}; do
        case ${state[$need]} in
          done) ;;
          failed | skipped) ready=skip ;;
          *) [[ $ready == skip ]] || ready=no ;;
        esac
      done
      if [[ $ready == skip ]]; then
        state[$name]=skipped
        skipped+=" $name"
        continue
      fi
      [[ $ready == yes ]] || continue
      (eval "${STEP_COMMAND[$name]}") >"$ROOT/build/logs/$name.log" 2>&1 </dev/null &
      running[$!]=$name
      began[$name]=$SECONDS
      state[$name]=running
      say "$name started"
    done
    [[ ${#running[@]} -gt 0 ]] || break
    status=0
    wait -n -p pid || status=$?
    if [[ $pid == "$ticker" ]]; then
      say "running ($(clock $((SECONDS - started)))): ${running[*]}"
      sleep 60 &
      ticker=$!
      continue
    fi
    name=${running[$pid]}
    unset "running[$pid]"
    STEP_TOOK[$name]=$((SECONDS - began[$name]))
    if [[ $status -ne 0 ]]; then
      state[$name]=failed
      failed+=" $name"
    else
      state[$name]=done
    fi
    # The last report waits for the table of times.
    if [[ ${#running[@]} -gt 0 || " ${state[*]} " == *" waiting "* ]]; then
      step_report "$name" "$status"
    fi
  done
  kill "$ticker" 2>/dev/null || true
  trap - EXIT
  set +m
  say "times:"
  for name in "${STEP_NAMES[@]}"; do
    [[ -n ${STEP_TOOK[$name]:-} ]] && printf '  %-28s %8s\n' "$name" "$(clock "${STEP_TOOK[$name]}")" >&2
  done
  printf '  %-28s %8s\n' total "$(clock $((SECONDS - started)))" >&2
  step_report "$name" "$status"
  [[ -z $failed ]] || die "failed:$failed${skipped:+ (not run, as they need a failed step:$skipped)}"
}
