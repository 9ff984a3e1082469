#!/bin/bash
# One fault scenario on the two-node rig (scripts/rig): builds the rig,
# writes both configurations, starts the nodes, injects the fault and checks
# where the VIP answers, what each node did and which alarms came; then the
# audits every scenario shares (daemons alive unless stopped on purpose, no
# sanitizer report, no core file) and the teardown.
#
#   tests/rig/rig_scenario.sh <scenario>      (RIG_BIN: directory of tarrowd)
#
# Exit 0 passed, 1 failed, 77 skipped: only when the machine cannot build the
# rig (no root, no namespaces) and TARROW_REQUIRE_PRIVILEGES is unset.

SCENARIO=${1:-}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../scripts/rig"

FAILED=0
# Sanitizer reports of the daemons go to files of the run directory.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    FAILED=1
  fi
}

cannot_run() {
  local why=$1
  case ${TARROW_REQUIRE_PRIVILEGES:-} in
    "" | 0) echo "skipped: $why"; exit 77 ;;
  esac
  echo "cannot build the rig and TARROW_REQUIRE_PRIVILEGES is set: $why"
  exit 1
}

# What a failed scenario leaves for the reader.
report() {
  local x
  for x in A B; do
    echo "--- alarms of $x"
    rig_alarms "$x"
    echo "--- running status of $x (machine status, running trees, away): $(rig_running_status "$x")"
    echo "--- last trace lines of $x"
    tail -n 15 "$RIG_RUN/$x/prog/log/trace.log" 2>/dev/null
  done
  echo "--- probe (changes of who answered)"
  awk '$2 != last { print; last = $2 }' "$RIG_RUN/probe.log" 2>/dev/null | tail -n 30
  cat "$RIG_RUN"/asan.* 2>/dev/null | head -n 60
}

# ---- shared steps ---------------------------------------------------------

setup() {
  [ "$(id -u)" = 0 ] || cannot_run "the rig needs root"
  ip netns add "rigprobe$$" 2>/dev/null || cannot_run "no network namespaces here"
  ip netns del "rigprobe$$"
  rig_up || { echo "FAIL the rig could not be built"; exit 1; }
  [ -x "$RIG_RUN/A/prog/tarrowd" ] || { echo "FAIL no tarrowd in RIG_BIN=${RIG_BIN:-}"; exit 1; }
  export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$RIG_RUN/asan"
  rig_config_all "$@" || { echo "FAIL the configuration could not be written"; exit 1; }
  rig_probe_start
}

# Starts both nodes within a few milliseconds of each other.
start_both() {
  rig_start A &
  local a=$!
  rig_start B
  wait $a
}

answers() { [ "$(rig_probe_owner)" = "node$1" ]; }
vip_on_only() { [ "$(rig_vip_holders | tr -d '\n')" = "$1" ]; }
alive() { [ -n "$(rig_pids_of "$1" tarrowd)" ] && [ -n "$(rig_pids_of "$1" tarrowguard)" ]; }
gone() { [ -z "$(rig_pids_of "$1" tarrowd)" ] && [ -z "$(rig_pids_of "$1" tarrowguard)" ]; }
# The hold flag of tree "web" in node X's tree file.
hold_flag() { awk 'NR % 9 == 2 && $0 == "web" { getline; getline; getline; print; exit }' "$RIG_RUN/$1/prog/configs/resource_tree_config.cfg"; }
alarms() { rig_alarm_count "$@"; }
# At least n alarms of kind k on node X (with text t): alarm_ge X k n [t]
alarm_ge() { [ "$(rig_alarm_count "$1" "$2" "${4:-}")" -ge "$3" ]; }

# Both started, the VIP answering from A.
start_on_a() {
  start_both
  check "the VIP answers from A after the start" rig_wait_for 60 answers A
  check "A started web" rig_wait_for 30 alarm_ge A 11 1 '资源树："web"，启动完成'
  check "A started aux" rig_wait_for 30 alarm_ge A 11 1 '资源树："aux"，启动完成'
}

audit() {
  local x
  for x in "$@"; do check "both daemons of $x alive" alive "$x"; done
  # An alarm comes once per transition: the same alarm twice in one second
  # is a repeat.
  check "no alarm repeated" test -z "$(rig_alarms A | sort | uniq -d)$(rig_alarms B | sort | uniq -d)"
  check "no sanitizer report" test -z "$(ls "$RIG_RUN"/asan.* 2>/dev/null)"
  check "no core file" test -z "$(find "$RIG_RUN/A/prog" "$RIG_RUN/B/prog" -maxdepth 1 -name 'core*' 2>/dev/null)"
}

# Node X's running status through its console is "<machine status>
# <running trees> <trees running away from home>": status_is A "3 2 0"
status_is() { [ "$(rig_running_status "$1")" = "$2" ]; }
# Node X answers one console request at level l with exactly the reply r
# (line feeds written as \n): replies X l r COMMAND BODY
replies() {
  local x=$1 level=$2 want=$3 got
  shift 3
  got=$(rig_console "$x" "$level" "$@")
  [ "$got" = "$want" ] || { echo "     $x answered $* with: $got"; return 1; }
}
# Node X raised exactly n alarms of kind k whose text is exactly t:
# alarm_is X k t n
alarm_is() { [ "$(rig_alarms "$1" | awk -F'|' -v k="$2" -v t="$3" '$1 == k && $3 == t { n++ } END { print n + 0 }')" = "$4" ]; }
nobody_answers() { [ "$(rig_probe_owner)" = - ]; }

# After the first answer of node$1 at or after ms $2, no other node answered.
one_owner_after() {
  local first
  first=$(rig_probe_first "node$1" "$2")
  [ -n "$first" ] && [ -z "$(rig_probe_others "node$1" "$first")" ]
}

# ---- scenarios ------------------------------------------------------------

scenario_start_together() {
  setup
  local t0
  t0=$(rig_now_ms)
  start_on_a
  sleep 3
  check "only A answered since the start" test -z "$(rig_probe_others nodeA "$t0")"
  check "the VIP sits on A only" vip_on_only A
  check "B's hold flag of web is false" test "$(hold_flag B)" = false
  check "A's hold flag of web is true" test "$(hold_flag A)" = true
  check "no takeover or failure alarm" test "$(($(alarms A 0) + $(alarms B 0) + $(alarms A 1) + $(alarms B 1) + $(alarms A 2) + $(alarms B 2)))" = 0
  audit A B
}

scenario_start_alone() {
  setup
  local t0 ta
  t0=$(rig_now_ms)
  rig_start A
  check "A alone starts its tree (after the start delay)" rig_wait_for 60 answers A
  ta=$(rig_probe_first nodeA "$t0")
  # A waits 10 s for a first link before it tests the network alone.
  check "not before the first-link wait" test $((ta - t0)) -ge 10000
  rig_start B
  sleep 15
  check "B joined: the VIP stayed on A" test -z "$(rig_probe_others nodeA "$ta")"
  check "the VIP sits on A only" vip_on_only A
  check "B's hold flag of web is false" test "$(hold_flag B)" = false
  audit A B
}

# Peer crash: both daemons of A killed, its interfaces down, the serial
# relay frozen. The floor: detection by beats on the serial line (3 x 1000
# ms, the slowest link), takeover wait 10000, re-check 1000, the VIP's
# conflict probe 3000.
scenario_peer_crash() {
  setup
  start_on_a
  sleep 2
  local t0 tb
  t0=$(rig_now_ms)
  rig_crash_node A
  check "the VIP answers from B" rig_wait_for 60 answers B
  tb=$(rig_probe_first nodeB "$t0")
  echo "failover took $((tb - t0)) ms"
  check "not before the floor (16000 ms)" test $((tb - t0)) -ge 16000
  check "never two owners" one_owner_after B "$t0"
  check "B: alarm 0 once" test "$(alarms B 0 接管对机所有资源)" = 1
  check "B: no alarm 1" test "$(alarms B 1)" = 0
  rig_serial_thaw
  audit B
}

scenario_clean_stop() {
  setup
  start_on_a
  sleep 2
  local t0 stop_pid i
  t0=$(rig_now_ms)
  rig_cmd A tarrowd stop >"$RIG_RUN/A/stop.log" 2>&1 &
  stop_pid=$!
  check "the VIP answers from B" rig_wait_for 60 answers B
  check "never two owners" one_owner_after B "$t0"
  for i in $(seq 65); do gone A && break; sleep 1; done
  check "A's daemons gone within 60 s" gone A
  wait $stop_pid
  check "A: \"操作系统退出！\"" test "$(alarms A 11 操作系统退出！)" = 1
  check "B: no failure alarm" test "$(($(alarms B 0) + $(alarms B 1) + $(alarms B 2) + $(alarms B 3)))" = 0
  check "the VIP sits on B only" vip_on_only B
  audit B
}

scenario_stop_keep_trees() {
  setup
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_cmd A tarrowd stop nostoptree >"$RIG_RUN/A/stop.log" 2>&1
  check "A's daemons gone" rig_wait_for 65 gone A
  check "A: \"系统退出！\"" test "$(alarms A 11 系统退出！)" = 1
  # B re-initialises after the offline notice (10 s) without a takeover.
  sleep 13
  check "the VIP stayed on A" test -z "$(rig_probe_others nodeA "$t0")"
  check "the VIP sits on A only" vip_on_only A
  check "B: no takeover" test "$(($(alarms B 0) + $(alarms B 1)))" = 0
  t0=$(rig_now_ms)
  rig_start A
  sleep 15
  check "A restarted keeps answering" answers A
  check "the VIP still on A only" vip_on_only A
  check "nobody else answered" test -z "$(rig_probe_others nodeA "$t0")"
  check "A's hold flag of web is true" test "$(hold_flag A)" = true
  audit A B
}

# One link of two lost: no failover, alarm 6 for that link, the peer still
# reachable over the other.
scenario_one_link_lost() {
  setup
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_serial_cut
  sleep 16
  check "serial cut: A raised alarm 6 for \"serial\"" test "$(alarms A 6 '"serial"已经断开')" -ge 1
  check "serial cut: B raised alarm 6 for \"serial\"" test "$(alarms B 6 '"serial"已经断开')" -ge 1
  check "serial cut: no failover" test -z "$(rig_probe_others nodeA "$t0")"
  check "serial cut: the VIP on A only" vip_on_only A
  rig_serial_start
  rig_serial_rebind "$RIG_RUN/ttyA" "$RIG_RUN/ttyB"
  check "serial line back" rig_wait_for 30 alarm_ge A 6 2 '"serial"已经建立了'
  t0=$(rig_now_ms)
  rig_link A eth1 down
  sleep 16
  check "veth down: A raised alarm 6 for \"direct\"" test "$(alarms A 6 '"direct"已经断开')" -ge 1
  check "veth down: no failover" test -z "$(rig_probe_others nodeA "$t0")"
  check "veth down: the VIP on A only" vip_on_only A
  check "no takeover alarm" test "$(($(alarms A 0) + $(alarms B 0) + $(alarms A 1) + $(alarms B 1)))" = 0
  audit A B
}

# A loses its LAN and the direct pair, the serial line is cut: A reaches no
# reference and stops its trees; B takes over.
scenario_all_links_lost() {
  setup
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_link A eth0 down
  rig_link A eth1 down
  rig_serial_cut
  check "the VIP answers from B" rig_wait_for 60 answers B
  check "never two owners" one_owner_after B "$t0"
  check "B: alarm 0 once" test "$(alarms B 0 接管对机所有资源)" = 1
  check "A: alarm 1" rig_wait_for 30 alarm_ge A 1 1
  check "A: its VIP alias cleared" rig_wait_for 20 vip_on_only B
  check "A: tree web stopped (custom resource down)" rig_wait_for 20 test ! -e "$RIG_RUN/A/custom.web"
  # Without a link either check ends in init, which repeats while none
  # comes: both nodes stay initialising, whatever they run.
  check "A: initialising, no tree running" rig_wait_for 10 status_is A "1 0 0"
  check "B: initialising, both trees running away from home" rig_wait_for 20 status_is B "1 2 2"
  audit A B
}

# Heartbeat-only cut without the quorum disk: both nodes decide to take
# over. B's start of web is refused by the VIP's conflict probe (A still
# answers), so the VIP keeps one owner, while aux (no VIP) then runs on both:
# the design limit. With the quorum disk exactly one node takes over.
scenario_heartbeat_cut_no_quorum() {
  setup --no-quorum
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_link A eth1 down
  rig_serial_cut
  check "B decided to take over" rig_wait_for 30 alarm_ge B 0 1
  sleep 3
  check "the VIP keeps one owner (A)" test -z "$(rig_probe_others nodeA "$t0")"
  check "the VIP sits on A only" vip_on_only A
  check "B: the VIP's conflict refused web (alarm 2)" test "$(alarms B 2)" -ge 1
  check "B: start of web failed (alarm 3)" test "$(alarms B 3)" -ge 1
  check "design limit: aux runs on both nodes" test -e "$RIG_RUN/A/custom.aux" -a -e "$RIG_RUN/B/custom.aux"
  audit A B
}

scenario_heartbeat_cut_quorum() {
  setup
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_link A eth1 down
  rig_serial_cut
  rig_wait_for 30 sh -c "cat '$RIG_RUN'/[AB]/prog/log/[0-9]*.log | grep -q '^0|'"
  sleep 5
  local takers=$(($(alarms A 0) + $(alarms B 0))) losers=$(($(alarms A 1) + $(alarms B 1)))
  check "exactly one node took over (alarm 0)" test "$takers" = 1
  check "the other raised alarm 1" test "$losers" = 1
  check "aux runs on one node only" test "$(ls "$RIG_RUN"/[AB]/custom.aux 2>/dev/null | wc -l)" = 1
  check "the VIP sits on one node" test "$(rig_vip_holders | wc -l)" = 1
  audit A B
}

scenario_tree_failure() {
  setup
  start_on_a
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_fault_set A
  check "the VIP answers from B" rig_wait_for 60 answers B
  check "never two owners" one_owner_after B "$t0"
  check "A: alarm 7 (check failed)" test "$(alarms A 7)" -ge 1
  check "A: alarm 2 (failover)" test "$(alarms A 2)" -ge 1
  check "A: the VIP gone" rig_wait_for 20 vip_on_only B
  check "B: web runs there (custom resource up)" rig_wait_for 20 test -e "$RIG_RUN/B/custom.web"
  check "B: no takeover alarm of a lost peer" test "$(alarms B 0)" = 0
  check "B: running web away from home" rig_wait_for 10 status_is B "3 1 1"
  check "A: running aux alone" rig_wait_for 10 status_is A "3 1 0"
  audit A B
}

scenario_frozen_daemon() {
  setup
  start_on_a
  sleep 2
  local t0 pid
  pid=$(rig_pids_of A tarrowd)
  t0=$(rig_now_ms)
  kill -STOP "$pid"
  # Detection (about 4.5 s) and the takeover wait (10 s) run out; B then
  # finds the VIP still answering and refuses to start web.
  check "B refused while A holds the VIP (alarm 2)" rig_wait_for 40 alarm_ge B 2 1
  sleep 2
  check "the VIP stayed with A" test -z "$(rig_probe_others nodeA "$t0")"
  kill -CONT "$pid"
  sleep 10
  check "one owner after" test "$(rig_vip_holders | wc -l)" = 1
  check "the probe is answered" test "$(rig_probe_owner)" != -
  audit A B
}

# tarrowd alone, then tarrowguard alone, killed: restarted by the other
# within 12 s; the VIP never moves.
scenario_kill_matrix() {
  setup
  start_on_a
  sleep 2
  local t0 round prog pid
  t0=$(rig_now_ms)
  for round in $(seq "${RIG_ROUNDS:-2}"); do
    for prog in tarrowd tarrowguard; do
      pid=$(rig_pids_of A "$prog")
      kill -9 $pid
      check "round $round: $prog restarted within 12 s" rig_wait_for 12 \
        sh -c "p=\$(find /proc -mindepth 2 -maxdepth 2 -name exe -lname '$RIG_RUN/A/prog/$prog' 2>/dev/null | cut -d/ -f3); [ -n \"\$p\" ] && [ \"\$p\" != '$pid' ]"
      sleep 2
    done
  done
  sleep 5
  check "the VIP never moved" test -z "$(rig_probe_others nodeA "$t0")"
  check "no probe gap over 1 s" test "$(rig_probe_longest_gap "$t0")" -lt 1000
  check "no takeover" test "$(($(alarms B 0) + $(alarms A 1)))" = 0
  audit A B
}

scenario_flapping() {
  setup
  start_on_a
  sleep 2
  local end t0
  t0=$(rig_now_ms)
  end=$(($(date +%s) + ${RIG_FLAP_SECONDS:-20}))
  while [ "$(date +%s)" -lt "$end" ]; do
    rig_link A eth0 down
    sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.1f", 0.5 + (r % 26) / 10 }')"
    rig_link A eth0 up
    sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.1f", 0.5 + (r % 26) / 10 }')"
  done
  check "the probe is answered once settled" rig_wait_for 40 sh -c "[ \"\$(tail -n 1 $RIG_RUN/probe.log | cut -d' ' -f2)\" != - ]"
  sleep 3
  check "one owner once settled" test "$(rig_vip_holders | wc -l)" = 1
  echo "transitions: $(awk -v t="$t0" '$1 >= t && $2 != last { n++; last = $2 } END { print n + 0 }' "$RIG_RUN/probe.log")"
  audit A B
}

# Node X's machine status (the first figure of its running status).
machine_status_is() { [ "$(rig_running_status "$1" | cut -d' ' -f1)" = "$2" ]; }

# The heartbeat comes and goes while B's heartbeat-failure check runs and
# does not look at the links: A goes offline (stopped, its trees left
# running), and during B's offline wait A comes back, its direct link comes
# up and goes again (its daemon killed; its watcher restarts it). Neither
# node may stay stuck in the init: once the heartbeat is back for good both
# run again, and a crash of A later is still taken over by B.
scenario_check_flap() {
  setup
  start_on_a
  sleep 2
  local ups t0
  rig_serial_cut
  rig_cmd A tarrowd stop nostoptree >"$RIG_RUN/A/stop.log" 2>&1
  check "A's daemons gone" rig_wait_for 65 gone A
  check "B's failure check waits out A's offline notice" rig_wait_for 20 machine_status_is B 5
  ups=$(alarms A 6 '"direct"已经建立了')
  rig_start A
  check "the direct link comes up during B's check" rig_wait_for 10 alarm_ge A 6 $((ups + 1)) '"direct"已经建立了'
  kill -9 $(rig_pids_of A tarrowd)
  check "and goes again during it" machine_status_is B 5
  rig_serial_start && rig_serial_rebind "$RIG_RUN/ttyA" "$RIG_RUN/ttyB"
  # A's watcher starts the daemon again (killed before its watcher ran, A
  # is started again by hand).
  rig_wait_for 15 alive A || rig_start A
  check "A runs again" rig_wait_for 60 machine_status_is A 3
  check "B runs again" rig_wait_for 60 machine_status_is B 3
  sleep 2
  t0=$(rig_now_ms)
  rig_crash_node A
  check "the VIP answers from B after A's crash" rig_wait_for 60 answers B
  check "never two owners" one_owner_after B "$t0"
  rig_serial_thaw
  audit B
}

scenario_split_brain_notice() {
  setup
  start_on_a
  sleep 2
  rig_cmd B tarrowguard BS_NOTIFY r0
  check "alarm 14 on B" rig_wait_for 20 alarm_ge B 14 1
  check "alarm 14 on A" rig_wait_for 20 alarm_ge A 14 1
  local x
  for x in A B; do
    check "split-brain flag of r0 saved on $x" rig_wait_for 10 sh -c \
      "[ \"\$(sed -n 7p '$RIG_RUN/$x/prog/configs/drbd_mirror_config.dcnf')\" != 0 ]"
  done
  audit A B
}

# Both links lose one direction (B's words never reach A): the direct pair
# through a blackhole route on B, the serial line through the relay. Both
# nodes lose every link, as in a full cut of the heartbeat; with the quorum
# disk one node runs the trees.
# A's pings reach B (B's receive counter of the direct pair grows) but no
# answer comes back, and B's own pings go nowhere.
one_way_direct() {
  local before after
  before=$(ip -n "$(rig_ns B)" -s -j link show eth1 | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["stats64"]["rx"]["packets"])')
  ! rig_in A ping -c 3 -i 0.2 -W 1 198.51.100.2 >/dev/null 2>&1 || return 1
  after=$(ip -n "$(rig_ns B)" -s -j link show eth1 | python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["stats64"]["rx"]["packets"])')
  [ $((after - before)) -ge 3 ] || return 1
  ! rig_in B ping -c 1 -W 1 198.51.100.1 >/dev/null 2>&1
}

scenario_one_way_loss() {
  setup
  rig_serial_use_relay || { echo "FAIL no serial relay"; exit 1; }
  start_on_a
  check "the serial link runs over the relay" rig_wait_for 20 alarm_ge A 6 1 '"serial"已经建立了'
  sleep 2
  local t0
  t0=$(rig_now_ms)
  rig_serial_mode a2b
  rig_direct_oneway B on
  check "the direct pair carries A's packets to B only" one_way_direct
  rig_wait_for 40 sh -c "cat '$RIG_RUN'/[AB]/prog/log/[0-9]*.log | grep -q '^[01]|'"
  sleep 8
  check "exactly one node took over or kept the trees (one alarm 0)" test "$(($(alarms A 0) + $(alarms B 0)))" = 1
  check "the other stopped (one alarm 1)" test "$(($(alarms A 1) + $(alarms B 1)))" = 1
  check "the VIP sits on one node" test "$(rig_vip_holders | wc -l)" = 1
  check "aux runs on one node only" test "$(ls "$RIG_RUN"/[AB]/custom.aux 2>/dev/null | wc -l)" = 1
  local last
  last=$(($(rig_now_ms) - 3000))
  check "no lasting second owner" test "$(awk -v t="$last" '$1 >= t && $2 != "-" { print $2 }' "$RIG_RUN/probe.log" | sort -u | wc -l)" = 1
  audit A B
}

# The console of each node: running status, manual takeover, hand-over and
# stop of tree "web", then both heartbeat links deleted on A. The console
# runs inside the node and reaches it over loopback: the daemon names it
# 127.0.0.1 in its alarms.
WEB_GUID="{5A1E0C3B-7D42-4E19-9B0A-1F2E3D4C5B6A}"
scenario_console() {
  setup
  start_on_a
  local t0
  local taken='管理终端用户，IP:127.0.0.1 手动控制接管资源树"web"！'
  local stopped='管理终端用户，IP:127.0.0.1 手动控制 停止[JustStop] 资源树"web"！'
  check "A: running, 2 trees, none away" rig_wait_for 10 status_is A "3 2 0"
  check "B: running, no tree" rig_wait_for 10 status_is B "3 0 0"

  # B takes web by hand: A is asked to stop it first.
  t0=$(rig_now_ms)
  check "TAKE_OVER web on B: OK" replies B 1 'OK\n' TAKE_OVER "$WEB_GUID"
  check "B: alarm 8 names the console and web" rig_wait_for 10 alarm_is B 8 "$taken" 1
  check "the VIP answers from B" rig_wait_for 30 answers B
  check "A: web stopped" rig_wait_for 10 test ! -e "$RIG_RUN/A/custom.web"
  check "B: web runs" rig_wait_for 20 test -e "$RIG_RUN/B/custom.web"
  check "B: web running away from home" rig_wait_for 10 status_is B "3 1 1"
  check "A: aux alone" rig_wait_for 10 status_is A "3 1 0"
  check "never two owners" one_owner_after B "$t0"

  # B gives web back: A takes it.
  t0=$(rig_now_ms)
  check "BE_TAKE_OVER web on B: OK" replies B 1 'OK\n' BE_TAKE_OVER "$WEB_GUID"
  check "B: a second alarm 8" rig_wait_for 10 alarm_is B 8 "$taken" 2
  check "the VIP answers from A again" rig_wait_for 30 answers A
  check "B: web stopped" rig_wait_for 10 test ! -e "$RIG_RUN/B/custom.web"
  check "A: 2 trees again" rig_wait_for 10 status_is A "3 2 0"
  check "B: no tree" rig_wait_for 10 status_is B "3 0 0"
  check "never two owners" one_owner_after A "$t0"

  # A stops web alone: nobody runs it until A takes it again.
  check "JUST_STOP web on A: OK" replies A 1 'OK\n' JUST_STOP "$WEB_GUID"
  check "A: alarm 8 of the stop" rig_wait_for 10 alarm_is A 8 "$stopped" 1
  check "the VIP stops answering" rig_wait_for 10 nobody_answers
  t0=$(rig_now_ms)
  sleep 8
  check "nobody answered for 8 s" test -z "$(rig_probe_others - "$t0")"
  check "web runs on neither node" test ! -e "$RIG_RUN/A/custom.web" -a ! -e "$RIG_RUN/B/custom.web"
  check "A: aux alone" status_is A "3 1 0"
  check "B: no tree" status_is B "3 0 0"
  t0=$(rig_now_ms)
  check "TAKE_OVER web on A: OK" replies A 1 'OK\n' TAKE_OVER "$WEB_GUID"
  check "A: alarm 8 of the takeover" rig_wait_for 10 alarm_is A 8 "$taken" 1
  check "the VIP answers from A" rig_wait_for 30 answers A
  check "nobody else answered" test -z "$(rig_probe_others nodeA "$t0")"
  check "A: 2 trees again" rig_wait_for 10 status_is A "3 2 0"

  # The serial link deleted on A: the direct link carries on, no failover.
  t0=$(rig_now_ms)
  check "DELETE_HEART_BEAT 2 on A: OK" replies A 0 'OK\n' DELETE_HEART_BEAT 2
  check "B: alarm 6 for \"serial\"" rig_wait_for 20 alarm_ge B 6 1 '"serial"已经断开'
  sleep 3
  check "A: only \"direct\" left, connected" test "$(rig_console A 2 GET_ALL_HB "" |
    awk -F'\\\\n' '$1 == "OK" { print NF, $5, $10 }')" = "12 direct 2"
  check "no failover: the VIP stayed on A" test -z "$(rig_probe_others nodeA "$t0")"
  check "A: 2 trees" status_is A "3 2 0"
  check "B: no tree" status_is B "3 0 0"

  # The last link deleted on A: A stops every tree and initialises again
  # without a link; B has lost every link and takes over.
  t0=$(rig_now_ms)
  check "DELETE_HEART_BEAT 1 on A: OK" replies A 0 'OK\n' DELETE_HEART_BEAT 1
  check "A: web and aux stopped" rig_wait_for 20 test ! -e "$RIG_RUN/A/custom.web" -a ! -e "$RIG_RUN/A/custom.aux"
  check "A: initialising, no tree" rig_wait_for 10 status_is A "1 0 0"
  check "the VIP answers from B" rig_wait_for 40 answers B
  check "never two owners" one_owner_after B "$t0"
  check "B: alarm 0" rig_wait_for 10 alarm_ge B 0 1 接管对机所有资源
  check "B: initialising, both trees running away from home" rig_wait_for 10 status_is B "1 2 2"
  check "A: still no tree" status_is A "1 0 0"
  audit A B
}

# The trees set up through the consoles: both nodes start without trees;
# each node is then edited through its own console, and both end with tree
# "web" of one GUID holding the same resources (configuration and in-tree
# ids are local to a node, but start at 0 on both). A tree and its resources
# must exist on both nodes before the next edit: a resource edit asks the
# peer for its copy of the tree. Then the VIP runs on A, and A's crash moves
# it to B.
SETUP_GUID="{3F6A2C1E-9B8D-4E7F-A1C2-5D4E3F2A1B0C}"
# Its arguments as lines of one text.
lines() { local IFS=$'\n'; echo "$*"; }
# A resource record as the console sends it: the writer's common settings
# (check every 1000 ms, one restart, one try, 20000 ms to start and to stop,
# failure reset 3600000 ms, checked), with or without a custom test, then
# the kind's own lines: console_record <name> <test program or ""> <own...>
console_record() {
  local name=$1 test=$2
  shift 2
  if [ -n "$test" ]; then
    lines 0 "$name" 1000 1 1 0 20000 20000 1 "$test" "test $name" 5000 3600000 1 "$@"
  else
    lines 0 "$name" 1000 1 1 0 20000 20000 0 "" "" 5000 3600000 1 "$@"
  fi
}
# Node X's tree set-up as saved: the tree's GUID and relations, then its
# virtual IPs and custom resources, X's own directory written "<node>".
saved_setup() {
  local c=$RIG_RUN/$1/prog/configs
  { sed -n '7p;9p' "$c/resource_tree_config.cfg"; cat "$c/ip_config.cfg" "$c/custom_config.cfg"; } |
    sed "s|$RIG_RUN/$1/|<node>/|g"
}
scenario_console_setup() {
  setup --no-trees
  start_both
  check "A: running, no tree" rig_wait_for 40 status_is A "3 0 0"
  check "B: running, no tree" rig_wait_for 40 status_is B "3 0 0"
  check "A lists no tree" replies A 2 'OK\n' GET_ALL_RESOURCE_TREE ""
  check "B lists no tree" replies B 2 'OK\n' GET_ALL_RESOURCE_TREE ""

  local x home prog started t0
  started='管理终端用户，IP:127.0.0.1 手动启动资源树"web"并取消维护状态！'
  # The tree: home and take-back on A only.
  for x in A B; do
    home=$([ $x = A ] && echo true || echo false)
    check "CREATE_RESOURCE_TREE web on $x: OK, id 1" replies $x 0 'OK\n1' CREATE_RESOURCE_TREE \
      "$(lines 0 web "$home" "$home" false false "$SETUP_GUID" 0)"$'\n'
  done
  # The VIP (in-tree id 0), then the custom resource relying on it (1).
  for x in A B; do
    check "CREATE_RESOURCE vip on $x: OK" replies $x 0 'OK\n' CREATE_RESOURCE \
      "$(lines "$SETUP_GUID" 1 999999 "$(console_record vip "" "$RIG_VIP" 255.255.255.0 eth0 "$RIG_REF")")"
  done
  for x in A B; do
    prog=$RIG_RUN/$x/prog/rig-custom.sh
    check "CREATE_RESOURCE custom web on $x: OK" replies $x 0 'OK\n' CREATE_RESOURCE \
      "$(lines "$SETUP_GUID" 5 0 "$(console_record web "$prog" "$prog" "start web" "$prog" "stop web" 0)")"
  done
  check "A and B saved the same tree and resources" test "$(saved_setup A)" = "$(saved_setup B)"
  check "the tree relies as created" test "$(sed -n 9p "$RIG_RUN/A/prog/configs/resource_tree_config.cfg")" = "1N0N0|M5N0N1|0"
  check "created, nothing runs yet" test -z "$(rig_vip_holders)" -a ! -e "$RIG_RUN/A/custom.web" -a ! -e "$RIG_RUN/B/custom.web"

  # Out of maintenance: A, the home node, takes the tree; B only clears it.
  t0=$(rig_now_ms)
  for x in A B; do
    check "START_RESOURCE_TREE_GOING web on $x: OK" replies $x 0 'OK\n' START_RESOURCE_TREE_GOING "$SETUP_GUID"
    check "$x: alarm 8 of the start" rig_wait_for 10 alarm_is $x 8 "$started" 1
  done
  check "the VIP answers from A" rig_wait_for 30 answers A
  check "A started web" rig_wait_for 30 alarm_ge A 11 1 '资源树："web"，启动完成'
  check "A: web runs (custom resource up)" rig_wait_for 20 test -e "$RIG_RUN/A/custom.web"
  check "A: running web at home" rig_wait_for 10 status_is A "3 1 0"
  sleep 2
  check "the VIP sits on A only" vip_on_only A
  check "only A answered" test -z "$(rig_probe_others nodeA "$t0")"
  check "B: running, no tree" status_is B "3 0 0"
  check "B: web not running" test ! -e "$RIG_RUN/B/custom.web"
  check "A's hold flag of web is true" test "$(hold_flag A)" = true
  check "B's hold flag of web is false" test "$(hold_flag B)" = false

  # A crashes (as in peer_crash): B takes web over.
  t0=$(rig_now_ms)
  rig_crash_node A
  check "the VIP answers from B" rig_wait_for 60 answers B
  check "never two owners" one_owner_after B "$t0"
  check "B: alarm 0 once" test "$(alarms B 0 接管对机所有资源)" = 1
  check "B: web runs (custom resource up)" rig_wait_for 20 test -e "$RIG_RUN/B/custom.web"
  rig_serial_thaw
  audit B
}

# The status of link id on node X as its console lists it (GET_HB_BY_ID:
# the record's lines, then status, consecutive and total failures).
hb_status() { rig_console "$1" 2 GET_HB_BY_ID "$2" 2>/dev/null | awk -F'\\\\n' '$1 == "OK" { print $(NF - 2) }'; }
hb_connected() { [ "$(hb_status "$1" "$2")" = 2 ]; }
tcp_link_up() { hb_connected A 1 && hb_connected B 1; }

# A stranger in the client's namespace opens silent connections to A's
# heartbeat port (a burst of 64, then one every 500 ms, each left open) while
# the direct pair is cut and restored: the TCP link comes back, and with the
# serial line up nobody fails over.
scenario_silent_stranger() {
  setup
  start_on_a
  check "the TCP link is connected on both" rig_wait_for 30 tcp_link_up
  local t0
  t0=$(rig_now_ms)
  rig_in_bg C python3 -u -c '
import socket, sys, time
held = []
def silent():
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect((sys.argv[1], int(sys.argv[2])))
    except OSError:
        pass
    held.append(s)
for _ in range(64):
    silent()
while True:
    time.sleep(0.5)
    silent()
' 192.0.2.1 15538 >/dev/null 2>"$RIG_RUN/stranger.err"
  local stranger=$RIG_BG_PID
  sleep 2
  rig_link A eth1 down
  check "direct pair cut: A lost \"direct\"" rig_wait_for 30 alarm_ge A 6 1 '"direct"已经断开'
  rig_link A eth1 up
  check "direct pair back: A linked \"direct\" again" rig_wait_for 30 alarm_ge A 6 2 '"direct"已经建立了'
  check "the TCP link is connected again on both" rig_wait_for 30 tcp_link_up
  check "the stranger was still at it" kill -0 "$stranger"
  kill "$stranger" 2>/dev/null
  check "no failover" test -z "$(rig_probe_others nodeA "$t0")"
  check "the VIP on A only" vip_on_only A
  check "no takeover alarm" test "$(($(alarms A 0) + $(alarms B 0) + $(alarms A 1) + $(alarms B 1)))" = 0
  check "A: running both trees" rig_wait_for 10 status_is A "3 2 0"
  check "B: running, no tree" rig_wait_for 10 status_is B "3 0 0"
  audit A B
}

# A run ended without its teardown (ctest's time-out kills the scenario's
# shell, so no trap runs) leaves its daemons, namespaces, loop devices and run
# directory: the next sweep finds it by its gone owner, tears it down and
# says so, while a run whose owner lives and a run directory that names no
# owner are left alone. Both runs live in a base directory of their own, so
# the sweeps of rigs running beside this one do not see them.
scenario_left_behind() {
  [ "$(id -u)" = 0 ] || cannot_run "the rig needs root"
  ip netns add "rigprobe$$" 2>/dev/null || cannot_run "no network namespaces here"
  ip netns del "rigprobe$$"
  local base killed live killer liver out rc kp lp
  base=$(mktemp -d /var/tmp/tarrow-rig-sweep.XXXXXX)
  mkdir "$base/tarrow-rig.noowner"
  RIG_RUN_BASE=$base bash -c '. "$1/scripts/rig"; rig_up 2>/dev/null && rig_config_all && rig_start A && rig_start B || exit 1
    echo "$RIG_RUN" >"$2/killed"; while :; do sleep 0.2; done' _ "$RIG_SRC" "$base" &
  killer=$!
  RIG_RUN_BASE=$base bash -c '. "$1/scripts/rig"; rig_up 2>/dev/null || exit 1
    echo "$RIG_RUN" >"$2/live"; while [ ! -e "$2/done" ]; do sleep 0.2; done' _ "$RIG_SRC" "$base" &
  liver=$!
  rig_wait_for 150 test -s "$base/killed" -a -s "$base/live"
  killed=$(cat "$base/killed" 2>/dev/null)
  live=$(cat "$base/live" 2>/dev/null)
  check "both runs are up" test -n "$killed" -a -n "$live"
  if [ -z "$killed" ] || [ -z "$live" ]; then
    kill -9 "$killer" 2>/dev/null
    touch "$base/done"
    wait
    RIG_RUN_BASE=$base "$RIG_SRC/scripts/rig" sweep
    rm -rf "$base"
    return
  fi
  kp=$(rig_run_prefix "$killed")
  lp=$(rig_run_prefix "$live")
  kill -9 "$killer"
  wait "$killer" 2>/dev/null
  check "the killed run left its daemons" test -n "$(rig_run_pids "$killed" "$kp")"
  check "the killed run left its namespaces" test -n "$(rig_run_netns "$kp")"
  check "the killed run left its loop devices" test -n "$(losetup -j "$killed/quorum.img")"

  out=$(RIG_RUN_BASE=$base "$RIG_SRC/scripts/rig" sweep 2>&1)
  rc=$?
  echo "$out" | sed 's/^/     /'
  check "the sweep succeeded" test "$rc" = 0
  check "the sweep names the killed run" grep -qF "left $killed: tearing it down" <<<"$out"
  check "the sweep names nothing else" test "$(grep -c 'left .*: tearing it down' <<<"$out")" = 1
  check "no process of the killed run is left" test -z "$(rig_run_pids "$killed" "$kp")"
  check "no namespace of the killed run is left" test -z "$(rig_run_netns "$kp")"
  check "no loop device of the killed run is left" test -z "$(losetup -j "$killed/quorum.img" 2>/dev/null)"
  check "the killed run's directory is gone" test ! -e "$killed"
  check "the live run keeps its directory" test -d "$live"
  check "the live run keeps its namespaces" test -n "$(rig_run_netns "$lp")"
  check "the live run keeps its processes" test -n "$(rig_run_pids "$live" "$lp")"
  check "a run directory naming no owner is kept" test -d "$base/tarrow-rig.noowner"

  touch "$base/done"
  wait "$liver"
  check "the live run tears itself down" test "$?" = 0 -a ! -e "$live"
  RIG_RUN_BASE=$base "$RIG_SRC/scripts/rig" sweep >/dev/null 2>&1
  rm -rf "$base"
}
# Processes of run directory d with namespace prefix p: those running its
# program copies and those in its namespaces. rig_run_pids d p
rig_run_pids() {
  local ns
  find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$1/*" 2>/dev/null | cut -d/ -f3
  for ns in $(rig_run_netns "$2"); do ip netns pids "$ns" 2>/dev/null; done
}
# The namespaces with prefix p that exist.
rig_run_netns() { ip netns list 2>/dev/null | awk -v p="$1-" 'index($1, p) == 1 { print $1 }'; }
# The namespace prefix of run directory d.
rig_run_prefix() { local n; n=$(head -n 1 "$1/netns" 2>/dev/null); echo "${n%-*}"; }

# Soak (not in CI): a seeded random sequence of faults on A and B, each
# healed again, then the same audits and one owner once settled.
#   RIG_SEED=7 RIG_SOAK_STEPS=30 tests/rig/rig_scenario.sh soak
scenario_soak() {
  setup
  start_on_a
  RANDOM=${RIG_SEED:-1}
  echo "seed ${RIG_SEED:-1}"
  local step x pid
  for step in $(seq "${RIG_SOAK_STEPS:-20}"); do
    x=$([ $((RANDOM % 2)) = 0 ] && echo A || echo B)
    case $((RANDOM % 6)) in
      0) echo "step $step: kill -9 tarrowd of $x"; kill -9 $(rig_pids_of "$x" tarrowd) ;;
      1) echo "step $step: kill -9 tarrowguard of $x"; kill -9 $(rig_pids_of "$x" tarrowguard) ;;
      2) echo "step $step: LAN of $x down 3 s"; rig_link "$x" eth0 down; sleep 3; rig_link "$x" eth0 up ;;
      3) echo "step $step: direct pair down 5 s"; rig_link A eth1 down; sleep 5; rig_link A eth1 up ;;
      4) echo "step $step: fault flag on $x for 5 s"; rig_fault_set "$x"; sleep 5; rig_fault_clear "$x" ;;
      5) echo "step $step: serial line frozen 3 s"; rig_serial_freeze; sleep 3; rig_serial_thaw ;;
    esac
    sleep $((2 + RANDOM % 6))
    check "step $step: the daemons of A and B run" rig_wait_for 15 sh -c \
      "[ -n \"\$(find /proc -mindepth 2 -maxdepth 2 -name exe -lname '$RIG_RUN/A/prog/tarrowd' 2>/dev/null)\" ] &&
       [ -n \"\$(find /proc -mindepth 2 -maxdepth 2 -name exe -lname '$RIG_RUN/B/prog/tarrowd' 2>/dev/null)\" ]"
  done
  check "settled: the probe is answered" rig_wait_for 90 sh -c "[ \"\$(tail -n 1 $RIG_RUN/probe.log | cut -d' ' -f2)\" != - ]"
  sleep 5
  check "settled: one owner" test "$(rig_vip_holders | wc -l)" = 1
  audit A B
}

if [ -z "$SCENARIO" ] || ! declare -F "scenario_$SCENARIO" >/dev/null; then
  echo "usage: $0 <scenario>; scenarios:" >&2
  declare -F | sed -n 's/^declare -f scenario_/  /p' >&2
  exit 2
fi
"scenario_$SCENARIO"
[ $FAILED = 0 ] || report
rig_down || FAILED=1
[ $FAILED = 0 ] && echo "scenario $SCENARIO passed" || echo "scenario $SCENARIO FAILED"
exit $FAILED
