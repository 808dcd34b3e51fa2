#!/usr/bin/env bash
# Times a whole backup against its alternatives on a generated game-like
# database, on a throwaway server, in one run, side by side:
#   fetch only (the floor), vaultrun (export + pack every table), and
#   mariadb-dump --quick | gzip -6.
# Prints wall time, CPU time (user + system), peak memory and output size
# for each, with their ratios, and the CPU seconds per GB of SQL text.
# Wall and CPU figures mean something only on a quiet machine: the load
# average is printed before and after.   bench/run.sh [SCALE] [ROUNDS]
# KEEP_SERVER=1 leaves the server and its data running for the next call,
# which then skips generating the same scale again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scale=${1:-1} rounds=${2:-3}
out=$root/out/bench
scripts/install-deps
command -v /usr/bin/time >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build vaultrun fetch_only >/dev/null

mkdir -p "$out"
sock=$(scripts/throwaway-server start "$out/server")
[ "${KEEP_SERVER:-0}" = 1 ] || trap 'scripts/throwaway-server stop "$out/server"' EXIT
sql() { mariadb --no-defaults -uroot --socket="$sock" "$@"; }
db=bench_game
if [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name='$db'")" = 0 ] ||
   [ "$(cat "$out/scale" 2>/dev/null)" != "$scale" ]; then
  echo "generating $db at scale $scale ..."
  bench/gen_game_db.sh "$sock" "$db" "$scale"
  echo "$scale" >"$out/scale"
fi
# Freshly written rows are still being flushed to disk for minutes; timing
# during that flush makes the first rounds slower than the rest. The flush
# is hurried, and waited for.
pct=$(sql -N -e "SELECT @@innodb_max_dirty_pages_pct")
sql -e "SET GLOBAL innodb_max_dirty_pages_pct = 0"
for _ in $(seq 1 300); do
  dirty=$(sql -N -e "SHOW GLOBAL STATUS LIKE 'Innodb_buffer_pool_pages_dirty'" | cut -f2)
  [ "${dirty:-0}" -lt 100 ] && break
  sleep 1
done
sql -e "SET GLOBAL innodb_max_dirty_pages_pct = $pct"
sql -e "CREATE USER IF NOT EXISTS 'bench'@'localhost' IDENTIFIED BY 'bench';
        GRANT SELECT, SHOW VIEW, TRIGGER, EVENT ON $db.* TO 'bench'@'localhost';
        GRANT SELECT ON mysql.proc TO 'bench'@'localhost'"

game=$out/game
rm -rf "$game"; mkdir -p "$game/conf"
cp build/vaultrun "$game/"
printf 'mysql_server_ip: localhost\nmysql_char_db: %s\nmysql_server_id: bench\nmysql_server_pw: bench\n' "$db" \
  | sed 's/$/\r/' >"$game/conf/inter_kelvane.conf"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"format_sql"="1"\r\n' \
  >"$out/vaultrun.reg"
export VAULTRUN_REGISTRY=$out/vaultrun.reg VAULTRUN_EVENT_LOG=$out/events.log MYSQL_UNIX_PORT=$sock

# One measurement: wall s, CPU s (user+sys of the command and its children),
# peak RSS MB, user s, system s.
measure() {
  local name=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$out/time.txt" "$@" >/dev/null
  read -r wall user sys rss <"$out/time.txt"
  echo "$name $wall $(echo "$user + $sys" | bc) $((rss / 1024)) $user $sys"
}
# The SQL text in an archive: the sum of its entries' sizes.
text_bytes() {
  python3 -c 'import sys, zipfile; print(sum(i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()))' "$1"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (figures of time need it below 1)"
: >"$out/results.txt"
for r in $(seq 1 "$rounds"); do
  measure fetch build/fetch_only localhost "$db" bench bench >>"$out/results.txt"
  rm -rf "$game/backup"
  measure vaultrun bash -c "cd '$game' && ./vaultrun" >>"$out/results.txt"
  echo "size_vaultrun $(stat -c %s "$game"/backup/$db/*.zip)" >>"$out/results.txt"
  echo "text_vaultrun $(text_bytes "$game"/backup/$db/*.zip)" >>"$out/results.txt"
  measure dump bash -c "mariadb-dump --no-defaults -ubench -pbench --socket='$sock' --quick --skip-lock-tables $db | gzip -6 >'$out/dump.sql.gz'" >>"$out/results.txt"
  echo "size_dump $(stat -c %s "$out/dump.sql.gz")" >>"$out/results.txt"
done
[ -s "$VAULTRUN_EVENT_LOG" ] && { echo "vaultrun reported failures:"; cat "$VAULTRUN_EVENT_LOG"; exit 1; }
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$out/results.txt" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    k, *v = line.split()
    rows.setdefault(k, []).append([float(x) for x in v])
med = lambda k, i: statistics.median(r[i] for r in rows[k])
print(f"{'what ran':<34}{'wall s':>8}{'CPU s':>8}{'user s':>8}{'sys s':>8}{'peak MB':>9}"
      f"{'output MB':>11}{'wall / dump':>13}")
for k, label in (("fetch", "fetch every row only"), ("vaultrun", "vaultrun (export + pack)"),
                 ("dump", "mariadb-dump --quick | gzip -6")):
    size = {"vaultrun": med("size_vaultrun", 0) / 2**20, "dump": med("size_dump", 0) / 2**20}.get(k)
    print(f"{label:<34}{med(k,0):>8.2f}{med(k,1):>8.2f}{med(k,3):>8.2f}{med(k,4):>8.2f}"
          f"{med(k,2):>9.0f}{(f'{size:.1f}' if size else '-'):>11}{med(k,0)/med('dump',0):>13.2f}")
# Ratios per round (the rounds interleave), then their medians.
ratio = lambda k, i: statistics.median(v[i] / max(f[i], 0.01) for v, f in zip(rows[k], rows["fetch"]))
gb = med("text_vaultrun", 0) / 1e9
print(f"vaultrun / fetch-only: wall {ratio('vaultrun', 0):.2f}, CPU {ratio('vaultrun', 1):.2f}; "
      f"archive / .sql.gz size: {med('size_vaultrun',0)/med('size_dump',0):.3f}")
print(f"CPU s per GB of SQL text ({gb:.3f} GB): vaultrun {med('vaultrun',1)/gb:.2f}, "
      f"fetch-only {med('fetch',1)/gb:.2f}; medians of {len(rows['fetch'])} rounds")
PY
