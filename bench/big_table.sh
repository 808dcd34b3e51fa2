#!/usr/bin/env bash
# Peak memory of a whole run over one very large table, filled from the
# server's number sequences (a MyISAM table: runs export base tables only,
# never the rows of a view), then vaultrun-restore --verify of its archive,
# which reads the entry (over 4 GiB at the default size: ZIP64) back whole.
# Filling it takes a while and its size on disk.
#   bench/big_table.sh [ROWS]   (50,000,000 rows give about 6 GB of SQL text)
set -euo pipefail
cd "$(dirname "$0")/.."
rows=${1:-50000000}
out=$(pwd)/out/big
scripts/install-deps
command -v /usr/bin/time >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null; }
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build vaultrun vaultrun-restore >/dev/null
mkdir -p "$out"
sock=$(scripts/throwaway-server start "$out/server")
trap 'scripts/throwaway-server stop "$out/server"' EXIT
sql() { mariadb --no-defaults -uroot --socket="$sock" "$@"; }
sql -e "CREATE DATABASE big;
        CREATE TABLE big.huge (id BIGINT UNSIGNED PRIMARY KEY, note VARCHAR(120), at DATETIME)
          ENGINE=MyISAM;
        INSERT INTO big.huge SELECT seq AS id,
          CONCAT('item ', seq, ' of a very large table, padded to a typical row ', MD5(seq)) AS note,
          '2026-01-01' + INTERVAL (seq % 86400) SECOND AS at FROM big.seq_1_to_$rows;
        CREATE USER 'big'@'localhost' IDENTIFIED BY 'big'; GRANT SELECT, SHOW VIEW ON big.* TO 'big'@'localhost'"
game=$out/game
rm -rf "$game"; mkdir -p "$game/conf"; cp build/vaultrun "$game/"
printf 'mysql_server_ip: localhost\r\nmysql_char_db: big\r\nmysql_server_id: big\r\nmysql_server_pw: big\r\n' >"$game/conf/inter_kelvane.conf"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"format_sql"="1"\r\n' >"$out/vaultrun.reg"
export VAULTRUN_REGISTRY=$out/vaultrun.reg VAULTRUN_EVENT_LOG=$out/events.log MYSQL_UNIX_PORT=$sock
/usr/bin/time -f "%e %U %S %M" -o "$out/time.txt" bash -c "cd '$game' && ./vaultrun"
read -r wall user sys rss <"$out/time.txt"
archive=$(ls "$game"/backup/big/*.zip)
size=$(unzip -Zt "$archive" | awk '{print $3}')
echo "rows $rows, SQL text $((size / 1048576)) MB, archive $(( $(stat -c %s "$archive") / 1048576 )) MB"
echo "wall $wall s, CPU $(echo "$user + $sys" | bc) s, peak RSS $((rss / 1024)) MB"
unzip -tq "$archive"
/usr/bin/time -f "%e %M" -o "$out/verify.txt" \
  build/vaultrun-restore --no-defaults -u root --socket="$sock" --verify "$archive" | tail -n 1
read -r vwall vrss <"$out/verify.txt"
echo "verify (the whole entry read back and restored) $vwall s, peak RSS $((vrss / 1024)) MB"
