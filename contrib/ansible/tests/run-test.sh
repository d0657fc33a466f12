#!/usr/bin/env bash
# Runs contrib/ansible/upgrade.yml with ansible-playbook against encoder-sim instances on
# 127.0.0.1, with "sites" whose control hosts are this machine (local connection):
#   site_a: two good encoders             -> passes
#   site_b: one good encoder, one failing -> fails, and only that site
# and for some rows more sites. In turn: settings refused before anything happens, check mode
# (nothing on the control host changes, no encoder contacted), the upgrade with site_a as
# canary, a second run (nothing upgraded, changed=0), a rerun of the failed encoders, a failing
# canary site, a failure percentage, and lost reports and hung sites. Checks the play's
# outcome per site, the fetched reports and the summary.
#
# Usage: run-test.sh FWUPGRADE_CLI ENCODER_SIM
set -euo pipefail

cli=$(realpath "${1:?usage: run-test.sh FWUPGRADE_CLI ENCODER_SIM}")
sim=$(realpath "${2:?usage: run-test.sh FWUPGRADE_CLI ENCODER_SIM}")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
playbook="$here/../upgrade.yml"

command -v ansible-playbook >/dev/null || {
    echo "ansible-playbook not found: install ansible-core (scripts/setup.sh does)" >&2
    exit 1
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fwupgrade-ansible.XXXXXX")
sim_pids=()
cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${sim_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

failures=0
skipped=()
# play NAME [ansible-playbook arguments]: runs the playbook, output in $tmp/NAME.out, status
# in $status, its time in seconds in $took.
play() {
    local name=$1 start=$SECONDS
    shift
    status=0
    ansible-playbook "$@" "$playbook" >"$tmp/$name.out" 2>&1 || status=$?
    took=$((SECONDS - start))
    cat "$tmp/$name.out"
    echo "ansible-playbook ($name) took $took s, status $status"
}

check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "PASS: $what"
    else
        echo "FAIL: $what" >&2
        failures=$((failures + 1))
    fi
}

skip() { # skip ROW REASON: a row that cannot run here, said and counted, never passed
    echo "SKIP: $1: $2"
    skipped+=("$1")
}

# recap NAME HOST FIELD: the number Ansible's recap of run NAME gives HOST for FIELD (ok,
# changed, failed, ...), or "none".
recap() {
    sed -nE "s/^$2 +:.* $3=([0-9]+).*/\1/p" "$tmp/$1.out" | tail -n 1 | grep . || echo none
}

# start_sim NAME [encoder-sim options]: starts one encoder, sets port[NAME].
declare -A port
start_sim() {
    local name=$1
    shift
    "$sim" --address 127.0.0.1 --port 0 --gap-ms 0 --report "$tmp/sim-$name.jsonl" "$@" \
        >"$tmp/sim-$name.out" 2>"$tmp/sim-$name.err" &
    sim_pids+=($!)
    local line="" i
    for ((i = 0; i < 100; i++)); do
        # The background job may not have made its output file yet.
        line=$(head -n 1 "$tmp/sim-$name.out" 2>/dev/null || true)
        [[ $line == "listening on 127.0.0.1:"* ]] && break
        sleep 0.05
    done
    [[ $line == "listening on 127.0.0.1:"* ]] || {
        echo "encoder-sim $name did not start: $(cat "$tmp/sim-$name.err")" >&2
        exit 1
    }
    port[$name]=${line##*:}
}

start_sim a1
start_sim a2
start_sim b1
start_sim b2 --fail-at erase
start_sim c1
a1=127.0.0.1:${port[a1]} a2=127.0.0.1:${port[a2]} b1=127.0.0.1:${port[b1]} b2=127.0.0.1:${port[b2]}
c1=127.0.0.1:${port[c1]}

head -c 100000 /dev/urandom >"$tmp/firmware.bin"
head -c 50000 /dev/urandom >"$tmp/firmware2.bin"

# Ansible writes only inside $tmp, reads no configuration of this machine's, and reaches
# nothing but this machine. TMPDIR is where check mode's temporary folder goes.
while IFS= read -r var; do unset "$var"; done < <(compgen -e | grep '^ANSIBLE_' || true)
mkdir -p "$tmp/home" "$tmp/ansible-local" "$tmp/ansible-remote" "$tmp/tmpdir"
printf '[defaults]\n' >"$tmp/ansible.cfg"
export HOME="$tmp/home"
export TMPDIR="$tmp/tmpdir"
export ANSIBLE_CONFIG="$tmp/ansible.cfg"
export ANSIBLE_HOME="$tmp/home/.ansible"
export ANSIBLE_LOCAL_TEMP="$tmp/ansible-local"
export ANSIBLE_REMOTE_TEMP="$tmp/ansible-remote"
export ANSIBLE_ASYNC_DIR="$tmp/ansible-async"
export ANSIBLE_NOCOLOR=1
export ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_STDOUT_CALLBACK=default
export FWUPGRADE_LOOPBACK_ONLY=1

# The role runs fwupgrade-cli with --skip-done and --history by default. A fwupgrade-cli
# without them would refuse those options: the rows that need them are then skipped, saying
# so, and the others run with both turned off.
if "$cli" --help 2>&1 | grep -q -- '--skip-done'; then
    skip_done=yes
    history_vars=""
else
    skip_done=no
    history_vars=$'    fwupgrade_skip_done: false\n    fwupgrade_history: null'
fi

# fleet FILE SITE=ENCODER[,ENCODER...][;VAR: VALUE...]...: an inventory with these sites in
# this order, each with its control host SITE-ctl (with - for _) and its own variables.
fleet() {
    local file=$1 entry site rest encoders var
    shift
    {
        cat <<EOF
all:
  vars:
    ansible_connection: local
    ansible_python_interpreter: "{{ ansible_playbook_python }}"
    fwupgrade_image: $tmp/firmware.bin
    fwupgrade_cli: $cli
    fwupgrade_remote_dir: $tmp/remote
    fwupgrade_report_dir: $tmp/reports
    fwupgrade_max_parallel: 2
    fwupgrade_connect_timeout: 5
    fwupgrade_timeout: 60
    fwupgrade_poll: 1
$history_vars
  children:
    fwupgrade_control:
      hosts:
EOF
        for entry in "$@"; do
            site=${entry%%=*}
            echo "        ${site//_/-}-ctl:"
        done
        for entry in "$@"; do
            site=${entry%%=*} rest=${entry#*=}
            encoders=${rest%%;*}
            printf '    %s:\n      hosts:\n        %s-ctl:\n      vars:\n' "$site" "${site//_/-}"
            printf '        fwupgrade_encoders: ["%s"]\n' "${encoders//,/\", \"}"
            if [[ $rest == *";"* ]]; then
                IFS=';' read -r -a vars <<<"${rest#*;}"
                for var in "${vars[@]}"; do echo "        $var"; done
            fi
        done
    } >"$file"
}
fleet "$tmp/inventory.yml" "site_a=$a1,$a2" "site_b=$b1,$b2"

connections() { # connections NAME: how many connections encoder NAME has served
    if [[ -f "$tmp/sim-$1.jsonl" ]]; then grep -c . "$tmp/sim-$1.jsonl" || true; else echo 0; fi
}
all_connections() { # the connection counts of every encoder, one text
    local s
    for s in a1 a2 b1 b2 c1; do printf '%s=%s ' "$s" "$(connections $s)"; done
}

encoders_of() { # encoders_of REPORT: "HOST RESULT CAUSE" per encoder of a report, in its order
    python3 -c 'import json, sys
for e in json.load(open(sys.argv[1]))["encoders"]: print(e["host"], e["result"], e["cause"])' "$1"
}

# The control host's folder, every file with its checksum, size, mode and time, every folder
# with its mode and time: two snapshots differ when anything in it changed.
snapshot() {
    [[ -d "$tmp/remote" ]] || { echo "no folder"; return; }
    find "$tmp/remote" -printf '%p %y %s %m %T@\n' | sort
    find "$tmp/remote" -type f -print0 | sort -z | xargs -0 -r sha256sum
}

# --- Settings refused before anything reaches a control host: rows of a name, the message
# that must name the mistake, and the arguments.
sed -e 's/^        site-b-ctl:$/        site-b-ctl:\n        site-b-ctl2:/' "$tmp/inventory.yml" >"$tmp/twice.yml"
refusals=(
    "two control hosts for one site|control host(s) site-b-ctl, site-b-ctl2|-i $tmp/twice.yml"
    "an unknown canary site|fwupgrade_canary_sites names site_x, not a site of this run|-e fwupgrade_canary_sites=site_b,site_x"
    "a site bound within fwupgrade-cli's own|fwupgrade_site_timeout (30 s), which must exceed the longest it may take (60 s|-e fwupgrade_site_timeout=30"
    "no time bound at all|nothing bounds how long the site may take|-e {\"fwupgrade_timeout\":null}"
)
for row in "${refusals[@]}"; do
    IFS='|' read -r what message args <<<"$row"
    # shellcheck disable=SC2086 # the row's arguments are words
    play refused -i "$tmp/inventory.yml" $args
    check "$what is refused" test "$status" -eq 2
    check "the refusal of $what says why" grep -qF "$message" "$tmp/refused.out"
    check "nothing was copied to a control host after the refusal of $what" test ! -e "$tmp/remote"
    check "the refusal of $what opened no connection" \
        test "$(all_connections)" = "a1=0 a2=0 b1=0 b2=0 c1=0 "
done

# --- A dry run: fwupgrade-cli --check at both sites, no connection to any encoder, nothing
# made on the control host, not even the site's folder.
temporary=$(ls -A "$tmp/tmpdir")
play check -i "$tmp/inventory.yml" --check
check "the --check run succeeds" test "$status" -eq 0
check "--check opened no connection" test "$(all_connections)" = "a1=0 a2=0 b1=0 b2=0 c1=0 "
check "--check made nothing on the control host" test ! -e "$tmp/remote"
check "--check left no temporary folder behind" test "$(ls -A "$tmp/tmpdir")" = "$temporary"
check "--check fetched no report" test ! -e "$tmp/reports/site_a.json" -a ! -e "$tmp/reports/site_b.json"
check "the --check summary names site_a" \
    grep -q "^site site_a (site-a-ctl): checked 2 encoder(s), no connection opened" "$tmp/reports/summary.txt"
check "the --check summary names site_b" \
    grep -q "^site site_b (site-b-ctl): checked 2 encoder(s)" "$tmp/reports/summary.txt"
check "fwupgrade-cli ran with --check at both sites" \
    test "$(grep -c "^ok: \[site-.-ctl\]$" <(sed -n '/TASK \[fwupgrade_fleet : Run fwupgrade-cli at the site\]/,/^TASK/p' "$tmp/check.out"))" -eq 2

# --- The upgrade, site_a as the canary: it goes first, then site_b.
play run -i "$tmp/inventory.yml" -e fwupgrade_canary_sites=site_a

check "the run fails (a site failed): ansible-playbook status 2" test "$status" -eq 2
check "site_a passes the play, changed" grep -Eq '^site-a-ctl +: ok=[0-9]+ +changed=1 +unreachable=0 +failed=0 ' "$tmp/run.out"
check "site_b fails the play" grep -Eq '^site-b-ctl +: ok=[0-9]+ +changed=1 +unreachable=0 +failed=1 ' "$tmp/run.out"
check "site_b fails on fwupgrade-cli's exit 1, naming the encoder" \
    grep -Eq "^fatal: \[site-b-ctl\]: FAILED!.*site site_b: fwupgrade-cli exit 1 .*$b2" "$tmp/run.out"
check "site_a does not fail" bash -c "! grep -q 'fatal: \[site-a-ctl\]' '$tmp/run.out'"
check "the canary play runs fwupgrade-cli at site_a only, the next play at site_b only" test "$(
    sed -n '/^PLAY \[Upgrade the/p; /^TASK \[fwupgrade_fleet : Run fwupgrade-cli/,/^$/p' "$tmp/run.out" |
        grep -oE '^PLAY \[[a-zA-Z ]*|^ok: \[site-.-ctl' | tr '\n' ' ')" = \
    "PLAY [Upgrade the canary sites ok: [site-a-ctl PLAY [Upgrade the other sites ok: [site-b-ctl "
check "the canary's summary says site_b has not run yet" \
    grep -q '"not run yet: site_b (site-b-ctl); they are left out when the rollout stops' "$tmp/run.out"

for s in a1 a2 b1; do
    check "encoder $s was upgraded once, completely" \
        python3 - "$tmp/sim-$s.jsonl" <<'EOF'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
sys.exit(0 if len(lines) == 1 and lines[0]["complete"] and lines[0]["length"] == 100000 else 1)
EOF
done
check "the failing encoder b2 saw one connection" test "$(connections b2)" -eq 1

# The reports, fetched back to the controller.
check "site_a's report: both encoders succeeded, exit 0" \
    python3 - "$tmp/reports/site_a.json" "$a1" "$a2" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))
by_host = {e["host"]: e for e in r["encoders"]}
ok = (r["schema"] == 1 and r["exitCode"] == 0 and r["image"]["length"] == 100000
      and sorted(by_host) == sorted(sys.argv[2:])
      and all(e["result"] == "success" for e in by_host.values()))
sys.exit(0 if ok else 1)
EOF
check "site_b's report names the failing encoder with result failure, exit 1" \
    python3 - "$tmp/reports/site_b.json" "$b1" "$b2" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))
by_host = {e["host"]: e for e in r["encoders"]}
good, bad = sys.argv[2], sys.argv[3]
ok = (r["schema"] == 1 and r["exitCode"] == 1 and sorted(by_host) == sorted([good, bad])
      and by_host[good]["result"] == "success"
      and by_host[bad]["result"] == "failure" and by_host[bad]["cause"] == "program-fail")
sys.exit(0 if ok else 1)
EOF

# The summary, in the output and in summary.txt beside the reports.
summary="$tmp/reports/summary.txt"
cat "$summary"
check "the summary: site_a ok, 2 of 2" \
    grep -q "^site site_a (site-a-ctl): ok, 2 of 2 encoder(s) upgraded, 0 failed (exit 0" "$summary"
check "the summary: site_b failed, 1 of 2" \
    grep -q "^site site_b (site-b-ctl): FAILED, 1 of 2 encoder(s) upgraded, 1 failed (exit 1" "$summary"
check "the summary names the failing encoder and its cause" \
    grep -q "^  $b2: program-fail: flash program fail" "$summary"
check "the summary's last line names the failing site only" \
    grep -q "^FAILED: 1 of 2 site(s): site_b; 3 encoder(s) upgraded, 1 failed$" "$summary"
check "the summary is printed before site_b fails" python3 - "$tmp/run.out" <<'EOF'
import sys
out = open(sys.argv[1]).read()
shown = out.find("FAILED: 1 of 2 site(s): site_b")
failed = out.find("fatal: [site-b-ctl]")
sys.exit(0 if 0 <= shown < failed else 1)
EOF

# --- A second run of site_a with the same image: its encoders are found done in the history,
# none is contacted, nothing changes.
if [[ $skip_done == yes ]]; then
    play second -i "$tmp/inventory.yml" --limit site_a
    check "the second run succeeds" test "$status" -eq 0
    check "the second run changes nothing: changed=0" test "$(recap second site-a-ctl changed)" = 0
    check "the second run contacted no encoder" test "$(connections a1)$(connections a2)" = 11
    check "the second run's report: both encoders skipped as already upgraded" \
        test "$(encoders_of "$tmp/reports/site_a.json")" = \
        "$a1 skipped already-upgraded"$'\n'"$a2 skipped already-upgraded"
    check "the summary: none upgraded, 2 already upgraded" grep -q \
        "^site site_a (site-a-ctl): ok, 0 of 2 encoder(s) upgraded, 2 already upgraded, 0 failed (exit 0" "$summary"
    check "site_a's history on the control host holds its two upgrades" \
        test "$(grep -c '"result": *"success"' "$tmp/remote/site_a/history.jsonl")" -eq 2
else
    skip "the second run (changed=0, no encoder contacted)" \
        "$(basename "$cli") --help does not offer --skip-done yet"
fi

# --- Check mode after a run, with another image: the control host's folder stays as it was
# (the image, hosts file, report and history there), and no encoder is contacted.
before=$(snapshot)
connections_before=$(all_connections)
temporary=$(ls -A "$tmp/tmpdir")
play check-again -i "$tmp/inventory.yml" --check -e "fwupgrade_image=$tmp/firmware2.bin"
check "check mode after a run succeeds" test "$status" -eq 0
check "check mode changed nothing in the control host's folder" test "$(snapshot)" = "$before"
check "check mode after a run opened no connection" test "$(all_connections)" = "$connections_before"
check "check mode left no temporary folder behind" test "$(ls -A "$tmp/tmpdir")" = "$temporary"
check "check mode reports no change" \
    test "$(recap check-again site-a-ctl changed)$(recap check-again site-b-ctl changed)" = 00
check "check mode checked both sites" \
    test "$(grep -c '^site site_.* checked 2 encoder(s), no connection opened$' "$summary")" -eq 2

# --- An image fwupgrade-cli refuses (too long): exit 2 at both sites, nothing sent. The
# summary still comes, though every site fails, and is not taken from the last run's reports.
head -c 3997697 /dev/zero >"$tmp/too-long.bin"
connections_before=$(all_connections)
play too-long -i "$tmp/inventory.yml" -e "fwupgrade_image=$tmp/too-long.bin"
check "the too-long image fails the run" test "$status" -eq 2
for site in a b; do
    check "site_$site fails the play on exit 2" grep -Eq \
        "^fatal: \[site-$site-ctl\]: FAILED!.*site site_$site: fwupgrade-cli exit 2 .*FILE TOO LONG" \
        "$tmp/too-long.out"
    check "the summary: site_$site failed with exit 2, no report" grep -q \
        "^site site_$site (site-$site-ctl): FAILED, exit 2 (bad command line, image or host; nothing was sent), no report: .*FILE TOO LONG" \
        "$summary"
    check "site_$site's last report was removed before the run" test ! -e "$tmp/remote/site_$site/report.json"
    check "the controller's copy of site_$site's last report was removed" test ! -e "$tmp/reports/site_$site.json"
done
check "the summary's last line names both sites" \
    grep -q "^FAILED: 2 of 2 site(s): site_a, site_b; 0 encoder(s) upgraded, 0 failed$" "$summary"
check "the too-long image reached no encoder" test "$(all_connections)" = "$connections_before"

# --- A rerun of the failed encoders, from each site's last report on the control host
# (written here as fwupgrade-cli writes them): site_a's has nothing to rerun (one encoder
# upgraded, one done before); site_b's has one failed and one not started.
report() { # report FILE HOST:PORT:RESULT:CAUSE...: a report of a run of those encoders
    local file=$1 host port result cause entries=()
    shift
    while IFS=: read -r host port result cause; do
        entries+=("{\"host\": \"$host:$port\", \"result\": \"$result\", \"cause\": \"$cause\"}")
    done < <(printf '%s\n' "$@")
    (IFS=,; printf '{"schema": 1, "exitCode": 1, "encoders": [%s]}\n' "${entries[*]}") >"$file"
}
report "$tmp/remote/site_a/report.json" "$a1:success:success" "$a2:skipped:already-upgraded"
report "$tmp/remote/site_b/report.json" "$b1:skipped:rollout-stopped" "$b2:failure:program-fail"
b2_before=$(connections b2)
play rerun -i "$tmp/inventory.yml" -e fwupgrade_rerun_failed=true
check "the rerun fails on site_b's failing encoder" test "$status" -eq 2
check "site_a has nothing to rerun" grep -q \
    "^site site_a (site-a-ctl): ok, nothing to rerun: no encoder failed or was left out in its last run$" "$summary"
check "site_a's rerun contacted no encoder and changed nothing" test \
    "$(connections a1) $(connections a2) $(recap rerun site-a-ctl changed) $(recap rerun site-a-ctl failed)" \
    = "1 1 0 0"
check "site_b reruns its failed and its not started encoder, in the inventory's order" \
    test "$(grep -v '^#' "$tmp/remote/site_b/encoders.txt" | tr '\n' ' ')" = "$b1 $b2 "
check "site_b's failed encoder was tried again" test "$(connections b2)" -eq "$((b2_before + 1))"
check "site_b's rerun report covers those two only" \
    test "$(encoders_of "$tmp/reports/site_b.json" | cut -d' ' -f1 | sort | tr '\n' ' ')" = \
    "$(printf '%s\n' "$b1" "$b2" | sort | tr '\n' ' ')"

# A rerun without a last report contacts nothing: it fails the site, saying why.
rm "$tmp/remote/site_a/report.json"
play rerun-lost -i "$tmp/inventory.yml" --limit site_a -e fwupgrade_rerun_failed=true
check "a rerun without a last report fails" test "$status" -eq 2
check "the summary says there is no report to rerun from" grep -q \
    "^site site_a (site-a-ctl): FAILED, no report of an earlier run to rerun from" "$summary"
check "a rerun without a last report contacted no encoder" test "$(connections a1)$(connections a2)" = 11

# --- A failing canary site: the other sites are not run.
connections_before=$(all_connections)
play canary-fails -i "$tmp/inventory.yml" -e fwupgrade_canary_sites=site_b
check "the failing canary fails the run" test "$status" -eq 2
check "the canary site fails" test "$(recap canary-fails site-b-ctl failed)" = 1
check "the other site is not upgraded, nor failed" test \
    "$(connections a1) $(connections a2) $(recap canary-fails site-a-ctl failed)" = "1 1 0"
check "no play runs after the failed canary" \
    bash -c "! grep -q 'PLAY \[Upgrade the other sites\]' '$tmp/canary-fails.out'"
check "the summary says site_a was not run" grep -q "^not run yet: site_a (site-a-ctl)" "$summary"

# --- A failure percentage: batches of two sites, more than 40 % of a batch failed, so the
# next batch (site_c) is not run.
fleet "$tmp/three.yml" "site_b=$b1,$b2" "site_a=$a1,$a2" "site_c=$c1"
play percentage -i "$tmp/three.yml" -e fwupgrade_serial=2 -e fwupgrade_max_fail_percentage=40
check "the failure percentage fails the run" test "$status" -eq 2
check "the first batch ran: site_a passed, site_b failed" \
    test "$(recap percentage site-a-ctl failed) $(recap percentage site-b-ctl failed)" = "0 1"
check "the batch after it was not run: site_c's encoder not contacted" test "$(connections c1)" -eq 0
check "the summary says site_c was not run" grep -q "^not run yet: site_c (site-c-ctl)" "$summary"

# --- Reports lost and hung sites: site_b's report comes back empty, site_c's not at all,
# site_f's cut short; site_d's fwupgrade-cli never ends and is stopped (SIGTERM) at the site's time bound, site_e's
# ignores that and is killed a second later. site_a is healthy: it passes, and the summary
# still covers every site.
# Stand-ins for fwupgrade-cli: the real one, then its report emptied, removed or cut; one that
# never ends; one that ignores SIGTERM too.
printf '#!/bin/sh\n"%s" "$@"; s=$?; : >"%s"; exit $s\n' "$cli" "$tmp/remote/site_b/report.json" \
    >"$tmp/empty-report.sh"
printf '#!/bin/sh\n"%s" "$@"; s=$?; rm "%s"; exit $s\n' "$cli" "$tmp/remote/site_c/report.json" \
    >"$tmp/no-report.sh"
printf '#!/bin/sh\nexec sleep 30\n' >"$tmp/hang.sh"
printf '#!/bin/sh\ntrap "" TERM\nsleep 30\n' >"$tmp/hang-hard.sh"
printf '#!/bin/sh\n"%s" "$@"; s=$?; truncate -s 40 "%s"; exit $s\n' "$cli" \
    "$tmp/remote/site_f/report.json" >"$tmp/cut-report.sh"
chmod +x "$tmp"/*.sh
fleet "$tmp/lost.yml" "site_a=$a1,$a2" \
    "site_b=$b1;fwupgrade_cli: $tmp/empty-report.sh" \
    "site_c=$c1;fwupgrade_cli: $tmp/no-report.sh" \
    "site_d=$c1;fwupgrade_cli: $tmp/hang.sh;fwupgrade_timeout: 1;fwupgrade_site_timeout: 3" \
    "site_e=$c1;fwupgrade_cli: $tmp/hang-hard.sh;fwupgrade_timeout: 1;fwupgrade_site_timeout: 2;fwupgrade_kill_after: 1" \
    "site_f=$c1;fwupgrade_cli: $tmp/cut-report.sh"
play lost -i "$tmp/lost.yml" -f 6
check "lost reports and hung sites fail the run" test "$status" -eq 2
check "the run with hung sites ends soon after their time bound" test "$took" -lt 40
check "the healthy site passes" test "$(recap lost site-a-ctl failed)" = 0
check "the summary shows the healthy site" \
    grep -q "^site site_a (site-a-ctl): ok, [0-9] of 2 encoder(s) upgraded" "$summary"
for site in b c f; do
    check "site_$site fails" test "$(recap lost site-$site-ctl failed)" = 1
    check "site_$site is shown as report lost" \
        grep -q "^site site_$site (site-$site-ctl): FAILED, report lost (exit 0" "$summary"
    check "site_$site's failure says its report was lost" grep -Eq \
        "^fatal: \[site-$site-ctl\]: FAILED!.*site site_$site: fwupgrade-cli exit 0 .*but its report was lost" \
        "$tmp/lost.out"
done
check "site_d and site_e fail" \
    test "$(recap lost site-d-ctl failed)$(recap lost site-e-ctl failed)" = 11
check "site_d is shown as stopped at its time bound" grep -qF \
    "site site_d (site-d-ctl): FAILED, report lost (exit 124: it did not end within the site's time bound and was stopped (SIGTERM), after 3 s)" \
    "$summary"
check "site_e is shown as killed after it" grep -qF \
    "site site_e (site-e-ctl): FAILED, report lost (exit -9: it was killed (SIGKILL), at the site's time bound when it did not stop on SIGTERM, after 2 s)" \
    "$summary"
check "the summary's last line names the five failed sites" \
    grep -q "^FAILED: 5 of 6 site(s): site_b, site_c, site_d, site_e, site_f; " "$summary"
if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
if ((${#skipped[@]})); then
    echo "all checks passed; ${#skipped[@]} row(s) skipped: $(printf '%s; ' "${skipped[@]}")"
else
    echo "all checks passed"
fi
