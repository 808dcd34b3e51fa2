#!/usr/bin/env bash
# Times restoring a vaultrun SQL archive of a generated game-like database,
# on a throwaway server: mariadb < dump.sql (the archive's entries unpacked
# to one file first), unzip -p | mariadb, vaultrun-restore, and
# vaultrun-restore --verify. mariadb commits each statement by itself
# (fsync each time); the one-transaction line shows the cost without that.
#   bench/restore.sh [SCALE] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scale=${1:-0.3} rounds=${2:-1}
out=$root/out/bench-restore
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build vaultrun vaultrun-restore >/dev/null

mkdir -p "$out"
sock=$(scripts/throwaway-server start "$out/server")
trap 'scripts/throwaway-server stop "$out/server"' EXIT
sql() { mariadb --no-defaults -uroot --socket="$sock" "$@"; }
db=bench_game
if [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name='$db'")" = 0 ] ||
   [ "$(cat "$out/scale" 2>/dev/null)" != "$scale" ]; then
  echo "generating $db at scale $scale ..."
  bench/gen_game_db.sh "$sock" "$db" "$scale"
  echo "$scale" >"$out/scale"
fi
echo "table data: $(sql -N -e "SELECT ROUND(SUM(data_length)/1048576) FROM information_schema.tables WHERE table_schema='$db'") MB"

sql -e "CREATE USER IF NOT EXISTS 'bench'@'localhost' IDENTIFIED BY 'bench';
        GRANT SELECT ON $db.* TO 'bench'@'localhost'"
game=$out/game
rm -rf "$game"; mkdir -p "$game/conf"
cp build/vaultrun "$game/"
printf 'mysql_server_ip: localhost\nmysql_char_db: %s\nmysql_server_id: bench\nmysql_server_pw: bench\n' "$db" \
  | sed 's/$/\r/' >"$game/conf/inter_kelvane.conf"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"format_sql"="1"\r\n' \
  >"$out/vaultrun.reg"
rm -f "$out/events.log"
export VAULTRUN_REGISTRY=$out/vaultrun.reg VAULTRUN_EVENT_LOG=$out/events.log MYSQL_UNIX_PORT=$sock
(cd "$game" && ./vaultrun)
archive=$(ls "$game"/backup/$db/*.zip | tail -n 1)
tables=$(sql -N -e "SELECT table_name FROM information_schema.tables WHERE table_schema='$db'")
# The completeness mark, when this build's vaultrun does not write one yet.
python3 - "$archive" "$sock" "$db" $tables <<'PY'
import subprocess, sys, zipfile
path, sock, db, tables = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
z = zipfile.ZipFile(path, "a")
if not z.comment.startswith(b"Vaultrun\n"):
    lines = ["Vaultrun", "0.1.0", "00000000000000", db]
    for t in tables:
        n = subprocess.run(["mariadb", "--no-defaults", "-uroot", "-N", "--socket", sock, "-e",
                            f"SELECT COUNT(*) FROM `{db}`.`{t}`"], capture_output=True,
                           text=True, check=True).stdout.strip()
        lines.append(f"{t}\t{n}")
    lines.append("Vaultrun: run complete")
    z.comment = ("\n".join(lines) + "\n").encode()
z.close()
PY
rm -f "$out/dump.sql"
for t in $tables; do unzip -p "$archive" "$db/$t.sql" >>"$out/dump.sql"; done
echo "archive $(($(stat -c %s "$archive") / 1048576)) MB, dump.sql $(($(stat -c %s "$out/dump.sql") / 1048576)) MB"

fresh() {
  sql -e "DROP DATABASE IF EXISTS restored; CREATE DATABASE restored"
  for t in $tables; do sql -e "CREATE TABLE restored.\`$t\` LIKE $db.\`$t\`"; done
}
measure() {
  local name=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$out/time.txt" "$@" >/dev/null
  read -r wall user sys rss <"$out/time.txt"
  echo "$name $wall $(echo "$user + $sys" | bc) $((rss / 1024))"
}
mariadb_args="--no-defaults -uroot --socket=$sock --default-character-set=binary --max-allowed-packet=256M"
: >"$out/results.txt"
for r in $(seq 1 "$rounds"); do
  fresh
  measure mariadb bash -c "mariadb $mariadb_args --init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO'\" restored <'$out/dump.sql'" >>"$out/results.txt"
  fresh
  measure mariadb_txn bash -c "(echo 'SET autocommit=0;'; cat '$out/dump.sql'; echo 'COMMIT;') | mariadb $mariadb_args --init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO'\" restored" >>"$out/results.txt"
  fresh
  measure unzip_mariadb bash -c "unzip -p '$archive' | mariadb $mariadb_args --init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO'\" restored" >>"$out/results.txt"
  fresh
  measure restore build/vaultrun-restore --no-defaults -uroot --socket="$sock" "$archive" --database=restored >>"$out/results.txt"
  measure verify build/vaultrun-restore --no-defaults -uroot --socket="$sock" --verify "$archive" >>"$out/results.txt"
done
build/vaultrun-restore --no-defaults -uroot --socket="$sock" --verify "$archive"

python3 - "$out/results.txt" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    k, *v = line.split()
    rows.setdefault(k, []).append([float(x) for x in v])
med = lambda k, i: statistics.median(r[i] for r in rows[k])
print(f"{'what ran':<40}{'wall s':>8}{'CPU s':>8}{'peak MB':>9}{'wall / mariadb':>16}")
for k, label in (("mariadb", "mariadb < dump.sql"), ("mariadb_txn", "mariadb < dump.sql, one transaction"),
                 ("unzip_mariadb", "unzip -p archive | mariadb"),
                 ("restore", "vaultrun-restore"), ("verify", "vaultrun-restore --verify")):
    print(f"{label:<40}{med(k,0):>8.2f}{med(k,1):>8.2f}{med(k,2):>9.0f}{med(k,0)/med('mariadb',0):>16.2f}")
print(f"medians of {len(rows['mariadb'])} rounds")
PY
