-- A small sample of a game server's database: accounts, characters, their
-- items, a log with dates and a table of binary emblems.
CREATE TABLE accounts (
  account_id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  userid VARCHAR(23) NOT NULL,
  user_pass VARCHAR(32) NOT NULL,
  sex ENUM('M','F','S') NOT NULL DEFAULT 'M',
  email VARCHAR(39) NOT NULL DEFAULT '',
  logincount INT UNSIGNED NOT NULL DEFAULT 0,
  lastlogin DATETIME NULL,
  birthdate DATE NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO accounts (userid, user_pass, sex, email, logincount, lastlogin, birthdate) VALUES
  ('s1', 'p1', 'S', 'athena@athena.com', 0, NULL, NULL),
  ('aria', '5f4dcc3b5aa765d61d8327deb882cf99', 'F', 'aria@example.org', 152, '2026-11-30 21:04:09', '1994-02-03'),
  ('o''brien', 'e10adc3949ba59abbe56e057f20f883e', 'M', 'ob@example.org', 7, '2026-12-01 08:00:00', NULL),
  ('zoë', 'c33367701511b4f6020ec61ded352059', 'F', 'zoe@example.org', 33, '2026-12-06 23:59:59', '2001-12-31');

CREATE TABLE characters (
  char_id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  account_id INT UNSIGNED NOT NULL,
  name VARCHAR(30) NOT NULL,
  class SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  base_level SMALLINT UNSIGNED NOT NULL DEFAULT 1,
  zeny INT UNSIGNED NOT NULL DEFAULT 0,
  last_map VARCHAR(11) NOT NULL DEFAULT '',
  last_x SMALLINT UNSIGNED NOT NULL DEFAULT 53,
  last_y SMALLINT UNSIGNED NOT NULL DEFAULT 111,
  online TINYINT NOT NULL DEFAULT 0,
  title VARCHAR(60) NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO characters (account_id, name, class, base_level, zeny, last_map, last_x, last_y, online, title) VALUES
  (2, 'Aria Windrunner', 4008, 99, 1250000, 'prontera', 156, 191, 1, 'Champion of the "Arena"'),
  (2, 'Mule', 0, 1, 500, 'new_1-1', 53, 111, 0, NULL),
  (3, 'Brien\\the\\Bold', 4012, 87, 99000, 'geffen', 119, 59, 0, 'It''s a tab:	here'),
  (4, 'Zoë', 4021, 45, 0, 'payon', 160, 240, 0, 'line one
line two');

CREATE TABLE inventory (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  char_id INT UNSIGNED NOT NULL,
  nameid INT UNSIGNED NOT NULL,
  amount INT UNSIGNED NOT NULL DEFAULT 0,
  equip INT UNSIGNED NOT NULL DEFAULT 0,
  refine TINYINT UNSIGNED NOT NULL DEFAULT 0,
  card0 SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  unique_id BIGINT UNSIGNED NOT NULL DEFAULT 0,
  bound TINYINT UNSIGNED NULL
) ENGINE=InnoDB;

INSERT INTO inventory (char_id, nameid, amount, equip, refine, card0, unique_id, bound)
  SELECT 1 + (seq % 4), 501 + (seq % 300), 1 + (seq % 50), IF(seq % 17 = 0, 2, 0), seq % 11,
         IF(seq % 29 = 0, 4001, 0), 18446744073709551615 - seq, IF(seq % 5 = 0, NULL, seq % 3)
  FROM seq_1_to_250;

CREATE TABLE picklog (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  time DATETIME NOT NULL,
  char_id INT UNSIGNED NOT NULL,
  type ENUM('M','P','L','T','V','S','N','C','A','R','G','E','B','O','I','X','D','U') NOT NULL,
  nameid INT UNSIGNED NOT NULL,
  amount INT NOT NULL,
  map VARCHAR(11) NOT NULL,
  price DECIMAL(12,2) NULL
) ENGINE=InnoDB;

INSERT INTO picklog (time, char_id, type, nameid, amount, map, price)
  SELECT '2026-12-01 00:00:00' + INTERVAL (seq * 97) SECOND, 1 + (seq % 4),
         ELT(1 + seq % 4, 'M', 'P', 'T', 'S'), 501 + (seq % 300), CAST(IF(seq % 2 = 0, 1, -1) AS SIGNED) * CAST(1 + seq % 9 AS SIGNED),
         ELT(1 + seq % 3, 'prontera', 'geffen', 'payon'), IF(seq % 3 = 0, NULL, seq * 1.25)
  FROM seq_1_to_1200;

CREATE TABLE guild_emblems (
  guild_id INT UNSIGNED NOT NULL PRIMARY KEY,
  name VARCHAR(24) NOT NULL,
  emblem_len INT UNSIGNED NOT NULL DEFAULT 0,
  emblem_data BLOB NULL
) ENGINE=InnoDB;

INSERT INTO guild_emblems VALUES
  (1, 'Vindra Wardens', 8, X'424D0000FF00270A'),
  (2, 'No Emblem', 0, NULL),
  (3, 'Empty Emblem', 0, X''),
  (4, 'Every Byte', 256, (SELECT UNHEX(GROUP_CONCAT(LPAD(HEX(seq), 2, '0') ORDER BY seq SEPARATOR '')) FROM seq_0_to_255));
