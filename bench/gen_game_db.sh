#!/usr/bin/env bash
# Creates a generated game-like database on a server: SCALE 1 gives about
# 600 MB of table data as SQL text, spread over tables of every common shape
# (wide integer rows, dated logs, text chat, blobs).
#   bench/gen_game_db.sh SOCKET DATABASE SCALE
set -euo pipefail
sock=$1 db=$2 scale=${3:-1}
n() { python3 -c "print(int($1 * $scale))"; }
sql() { mariadb --no-defaults -uroot --socket="$sock" "$@"; }

sql -e "DROP DATABASE IF EXISTS \`$db\`; CREATE DATABASE \`$db\` CHARACTER SET utf8mb4"
sql "$db" <<SQL
SET SESSION sql_log_bin = 0;
CREATE TABLE accounts (
  account_id INT UNSIGNED NOT NULL PRIMARY KEY, userid VARCHAR(23) NOT NULL,
  user_pass VARCHAR(32) NOT NULL, sex ENUM('M','F','S') NOT NULL, email VARCHAR(39) NOT NULL,
  logincount INT UNSIGNED NOT NULL, lastlogin DATETIME NULL, last_ip VARCHAR(100) NOT NULL
) ENGINE=InnoDB;
INSERT INTO accounts SELECT seq, CONCAT('user', seq), MD5(seq), ELT(1 + seq % 2, 'M', 'F'),
  CONCAT('user', seq, '@example.org'), seq % 1000, '2026-01-01' + INTERVAL seq MINUTE,
  CONCAT('10.', seq % 256, '.', (seq DIV 256) % 256, '.1') FROM seq_1_to_$(n 50000);

CREATE TABLE characters (
  char_id INT UNSIGNED NOT NULL PRIMARY KEY, account_id INT UNSIGNED NOT NULL,
  name VARCHAR(30) NOT NULL, class SMALLINT UNSIGNED NOT NULL, base_level SMALLINT UNSIGNED NOT NULL,
  job_level SMALLINT UNSIGNED NOT NULL, base_exp BIGINT UNSIGNED NOT NULL, zeny INT UNSIGNED NOT NULL,
  str SMALLINT UNSIGNED NOT NULL, agi SMALLINT UNSIGNED NOT NULL, hp INT UNSIGNED NOT NULL,
  last_map VARCHAR(11) NOT NULL, last_x SMALLINT UNSIGNED NOT NULL, last_y SMALLINT UNSIGNED NOT NULL
) ENGINE=InnoDB;
INSERT INTO characters SELECT seq, 1 + seq % $(n 50000), CONCAT('Hero ', seq), seq % 4000, seq % 99,
  seq % 70, seq * 7919, seq * 13 % 1000000000, seq % 99, seq % 77, seq % 30000,
  ELT(1 + seq % 3, 'prontera', 'geffen', 'payon'), seq % 300, seq % 300 FROM seq_1_to_$(n 150000);

CREATE TABLE inventory (
  id INT UNSIGNED NOT NULL PRIMARY KEY, char_id INT UNSIGNED NOT NULL, nameid INT UNSIGNED NOT NULL,
  amount SMALLINT UNSIGNED NOT NULL, equip INT UNSIGNED NOT NULL, identify SMALLINT NOT NULL,
  refine TINYINT UNSIGNED NOT NULL, attribute TINYINT UNSIGNED NOT NULL, card0 SMALLINT UNSIGNED NOT NULL,
  card1 SMALLINT UNSIGNED NOT NULL, card2 SMALLINT UNSIGNED NOT NULL, card3 SMALLINT UNSIGNED NOT NULL,
  expire_time INT UNSIGNED NOT NULL, unique_id BIGINT UNSIGNED NOT NULL
) ENGINE=InnoDB;
INSERT INTO inventory SELECT seq, 1 + seq % $(n 150000), 501 + seq % 20000, 1 + seq % 30000,
  IF(seq % 9 = 0, 1 << (seq % 10), 0), 1, seq % 11, 0, IF(seq % 7 = 0, 4001 + seq % 500, 0), 0, 0, 0,
  0, 1000000000000 + seq FROM seq_1_to_$(n 3000000);

CREATE TABLE storage LIKE inventory;
INSERT INTO storage SELECT seq, 1 + seq % $(n 50000), 501 + seq % 20000, 1 + seq % 30000, 0, 1,
  seq % 11, 0, 0, 0, 0, 0, 0, 2000000000000 + seq FROM seq_1_to_$(n 1000000);

CREATE TABLE picklog (
  id INT NOT NULL PRIMARY KEY, time DATETIME NOT NULL, char_id INT UNSIGNED NOT NULL,
  type ENUM('M','P','L','T','V','S','N','C','A','R','G','E','B','O','I','X','D','U') NOT NULL,
  nameid INT UNSIGNED NOT NULL, amount INT NOT NULL, refine TINYINT UNSIGNED NOT NULL,
  map VARCHAR(11) NOT NULL
) ENGINE=InnoDB;
INSERT INTO picklog SELECT seq, '2026-01-01' + INTERVAL seq SECOND, 1 + seq % $(n 150000),
  ELT(1 + seq % 4, 'M', 'P', 'T', 'S'), 501 + seq % 20000, CAST(IF(seq % 2, 1, -1) AS SIGNED) * CAST(1 + seq % 50 AS SIGNED),
  seq % 11, ELT(1 + seq % 3, 'prontera', 'geffen', 'payon') FROM seq_1_to_$(n 1500000);

CREATE TABLE chatlog (
  id BIGINT NOT NULL PRIMARY KEY, time DATETIME NOT NULL, type ENUM('O','W','P','G','M') NOT NULL,
  src_charid INT NOT NULL, src_map VARCHAR(11) NOT NULL, dst_charname VARCHAR(25) NOT NULL,
  message VARCHAR(150) NOT NULL
) ENGINE=InnoDB;
INSERT INTO chatlog SELECT seq, '2026-01-01' + INTERVAL seq SECOND, ELT(1 + seq % 5, 'O','W','P','G','M'),
  seq % 150000, 'prontera', CONCAT('Hero ', seq % 1000),
  CONCAT('selling +', seq % 10, ' sword for ', seq % 997, 'k, pm me! it''s a good deal ', MD5(seq))
  FROM seq_1_to_$(n 600000);

CREATE TABLE guild_emblems (
  guild_id INT UNSIGNED NOT NULL PRIMARY KEY, emblem_len INT UNSIGNED NOT NULL, emblem_data BLOB
) ENGINE=InnoDB;
INSERT INTO guild_emblems SELECT seq, 4096,
  (SELECT UNHEX(REPEAT(CONCAT(MD5(seq), SHA1(seq), 'FF00270A5C0D0A00'), 64))) FROM seq_1_to_$(n 8000);
SQL
sql -N -e "SELECT ROUND(SUM(data_length)/1048576), SUM(table_rows) FROM information_schema.tables
           WHERE table_schema='$db'" | awk '{print "data MB " $1 ", rows about " $2}'
