#!/usr/bin/env bash
# Runs contrib/ansible/upgrade.yml with ansible-playbook against encoder-sim instances on
# 127.0.0.1, with two "sites" whose control hosts are this machine (local connection):
#   site_a: two good encoders             -> passes
#   site_b: one good encoder, one failing -> fails, and only that site
# First with --check (no encoder may see a connection), then for real. Checks the play's
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
# play NAME [ansible-playbook arguments]: runs the playbook, output in $tmp/NAME.out, status
# in $status.
play() {
    local name=$1 start=$SECONDS
    shift
    status=0
    ansible-playbook "$@" "$playbook" >"$tmp/$name.out" 2>&1 || status=$?
    cat "$tmp/$name.out"
    echo "ansible-playbook ($name) took $((SECONDS - start)) s, status $status"
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
a1=127.0.0.1:${port[a1]} a2=127.0.0.1:${port[a2]} b1=127.0.0.1:${port[b1]} b2=127.0.0.1:${port[b2]}

head -c 100000 /dev/urandom >"$tmp/firmware.bin"

# Ansible writes only inside $tmp, reads no configuration of this machine's, and reaches
# nothing but this machine.
while IFS= read -r var; do unset "$var"; done < <(compgen -e | grep '^ANSIBLE_' || true)
mkdir -p "$tmp/home" "$tmp/ansible-local" "$tmp/ansible-remote"
printf '[defaults]\n' >"$tmp/ansible.cfg"
export HOME="$tmp/home"
export ANSIBLE_CONFIG="$tmp/ansible.cfg"
export ANSIBLE_HOME="$tmp/home/.ansible"
export ANSIBLE_LOCAL_TEMP="$tmp/ansible-local"
export ANSIBLE_REMOTE_TEMP="$tmp/ansible-remote"
export ANSIBLE_NOCOLOR=1
export ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_STDOUT_CALLBACK=default

cat >"$tmp/inventory.yml" <<EOF
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
  children:
    fwupgrade_control:
      hosts:
        site-a-ctl:
        site-b-ctl:
    site_a:
      hosts:
        site-a-ctl:
      vars:
        fwupgrade_encoders: ["$a1", "$a2"]
    site_b:
      hosts:
        site-b-ctl:
      vars:
        fwupgrade_encoders: ["$b1", "$b2"]
EOF


connections() { # connections NAME: how many connections encoder NAME has served
    if [[ -f "$tmp/sim-$1.jsonl" ]]; then grep -c . "$tmp/sim-$1.jsonl" || true; else echo 0; fi
}

# --- Two control hosts for one site: refused before anything reaches a control host.
sed -e 's/^        site-b-ctl:$/        site-b-ctl:\n        site-b-ctl2:/' "$tmp/inventory.yml" >"$tmp/twice.yml"
play twice -i "$tmp/twice.yml"
check "a site with two control hosts is refused" test "$status" -eq 2
check "the refusal names the site and both control hosts" \
    grep -q "control host(s) site-b-ctl, site-b-ctl2" "$tmp/twice.out"
check "nothing was copied to a control host, not even site_a's" test ! -e "$tmp/remote"
for s in a1 a2 b1 b2; do
    check "the refused run opened no connection to $s" test "$(connections $s)" -eq 0
done

# --- A dry run: fwupgrade-cli --check at both sites, no connection to any encoder.
play check -i "$tmp/inventory.yml" --check
check "the --check run succeeds" test "$status" -eq 0
for s in a1 a2 b1 b2; do
    check "--check opened no connection to $s" test "$(connections $s)" -eq 0
done
check "--check fetched no report" test ! -e "$tmp/reports/site_a.json" -a ! -e "$tmp/reports/site_b.json"
check "the --check summary names site_a" \
    grep -q "^site site_a (site-a-ctl): checked 2 encoder(s), no connection opened" "$tmp/reports/summary.txt"
check "the --check summary names site_b" \
    grep -q "^site site_b (site-b-ctl): checked 2 encoder(s)" "$tmp/reports/summary.txt"

# --- The upgrade.
play run -i "$tmp/inventory.yml"

check "the run fails (a site failed): ansible-playbook status 2" test "$status" -eq 2
check "site_a passes the play" grep -Eq '^site-a-ctl +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=0 ' "$tmp/run.out"
check "site_b fails the play" grep -Eq '^site-b-ctl +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=1 ' "$tmp/run.out"
check "site_b fails on fwupgrade-cli's exit 1, naming the encoder" \
    grep -Eq "^fatal: \[site-b-ctl\]: FAILED!.*site site_b: fwupgrade-cli exit 1 .*$b2" "$tmp/run.out"
check "site_a does not fail" bash -c "! grep -q 'fatal: \[site-a-ctl\]' '$tmp/run.out'"

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

# --- An image fwupgrade-cli refuses (too long): exit 2 at both sites, nothing sent. The
# summary still comes, though every site fails, and is not taken from the last run's reports.
head -c 3997697 /dev/zero >"$tmp/too-long.bin"
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
done
check "the summary's last line names both sites" \
    grep -q "^FAILED: 2 of 2 site(s): site_a, site_b; 0 encoder(s) upgraded, 0 failed$" "$summary"
check "the too-long image reached no encoder" \
    test "$(connections a1)$(connections a2)$(connections b1)$(connections b2)" = 1111

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
