-- Real-world corpus: table definitions and rows from MariaDB's own test suite,
-- Debian package mariadb-test 10.11 (/usr/share/mysql/mysql-test/main/*.test and
-- plugin/type_inet, plugin/type_uuid), extracted with tests/corpus/extract.py and
-- chosen by hand for their column types (charsets, generated and invisible
-- columns, INET4/INET6/UUID, BIT, spatial, partitions, dates, floats). Each block:
-- a "-- from:" line naming its file, then one statement a line, in latin1 as the
-- test suite's client sends them. The corpus test renames each table to cNN_<name>.

-- from: invisible_field.test
create table t1(a int , b int invisible , c int invisible auto_increment unique, d blob , e int unique, f int);
insert into t1 values(1,'d blob',1,1),(1,'d blob',11,1),(1,'d blob',2,1),(1,'d blob',3,1),(1,'d blob',41,1);

-- from: invisible_field.test
create table t1(a int,abc int as (a mod 3) virtual invisible);
insert into t1 values(1),(22),(233);

-- from: type_inet6.test
CREATE TABLE t1 (   a INT,   b INET6 GENERATED ALWAYS AS (CAST(CONCAT('::',HEX(a)) AS INET6)), INDEX(b) );
INSERT INTO t1 (a) VALUES (0),(1),(2),(3),(4),(5),(6),(7),(8),(9),(10),(11),(12),(13),(14),(15);

-- from: type_inet6.test
CREATE TABLE t1 (a INET6);
INSERT INTO t1 VALUES (CAST('1::1' AS INET6));
INSERT INTO t1 VALUES (CAST('1::2' AS INET6));
INSERT INTO t1 VALUES (CAST('1::3' AS INET6));
INSERT INTO t1 VALUES (CAST(CONCAT('2','::1') AS INET6));
INSERT INTO t1 VALUES (CAST(CONCAT('2','::2') AS INET6));
INSERT INTO t1 VALUES (CAST(CONCAT('2','::3') AS INET6));

-- from: type_inet6.test
CREATE TABLE t1 (a INET6);
INSERT INTO t1 VALUES (0x00000000000000000000000000000000);
INSERT INTO t1 VALUES (0x00000000000000000000000000000001);
INSERT INTO t1 VALUES (0xFFFF0000000000000000000000000001);
INSERT INTO t1 VALUES (0xFFFF0000000000000000000000000002);

-- from: type_inet4.test
CREATE TABLE t1 (   a INT,   b INET4 GENERATED ALWAYS AS (CAST(CONCAT('0.0.0.',a) AS INET4)), INDEX(b) );
INSERT INTO t1 (a) VALUES (0),(1),(2),(3),(4),(5),(6),(7),(8),(9),(10),(11),(12),(13),(14),(15);

-- from: type_inet4.test
CREATE TABLE t1 (a INET4);
INSERT INTO t1 VALUES (CAST('1.0.0.1' AS INET4));
INSERT INTO t1 VALUES (CAST('1.0.0.2' AS INET4));
INSERT INTO t1 VALUES (CAST('1.0.0.3' AS INET4));
INSERT INTO t1 VALUES (CAST(CONCAT('2','0.0.0.1') AS INET4));
INSERT INTO t1 VALUES (CAST(CONCAT('2','0.0.0.2') AS INET4));
INSERT INTO t1 VALUES (CAST(CONCAT('2','0.0.0.3') AS INET4));

-- from: type_uuid.test
CREATE TABLE t1 (a UUID);
INSERT INTO t1 VALUES (0x00000000000000000000000000000000);
INSERT INTO t1 VALUES (0x00000000000000000000000000000001);
INSERT INTO t1 VALUES (0xFFFF0000000000000000000000000001);
INSERT INTO t1 VALUES (0xFFFF0000000000000000000000000002);

-- from: type_uuid.test
CREATE TABLE t1 (a UUID);
INSERT INTO t1 VALUES ('00000000-0000-0000-0000-000000000001');

-- from: type_bit.test
create table t2 (a int, b bit(2), c char(10));
INSERT INTO t2 VALUES (3, 2, 'two'), (2, 3, 'three'), (2, 0, 'zero'),                        (3, 2, 'two'), (3, 1, 'one');

-- from: type_bit.test
create table bug15583(b BIT(8), n INT);
insert into bug15583 values(128, 128);
insert into bug15583 values(null, null);
insert into bug15583 values(0, 0);
insert into bug15583 values(255, 255);

-- from: type_bit.test
create table t1 (a int not null, b bit, c bit(9), key(a, b, c));
insert into t1 values (4, NULL, 1), (4, 0, 3), (2, 1, 4), (1, 1, 100), (4, 0, 23), (4, 0, 54), (56, 0, 22), (4, 1, 100), (23, 0, 1), (4, 0, 34);

-- from: gis.test
CREATE TABLE t1 (x INT, y INT, g GEOMETRY DEFAULT POINT(x,y));
INSERT INTO t1 (x,y) VALUES (10,20);

-- from: gis.test
create table t1 (name VARCHAR(100), square GEOMETRY);
INSERT INTO t1 VALUES("center", GeomFromText('POLYGON (( 0 0, 0 2, 2 2, 2 0, 0 0))'));
INSERT INTO t1 VALUES("small",  GeomFromText('POLYGON (( 0 0, 0 1, 1 1, 1 0, 0 0))'));
INSERT INTO t1 VALUES("big",    GeomFromText('POLYGON (( 0 0, 0 3, 3 3, 3 0, 0 0))'));
INSERT INTO t1 VALUES("up",     GeomFromText('POLYGON (( 0 1, 0 3, 2 3, 2 1, 0 1))'));
INSERT INTO t1 VALUES("up2",    GeomFromText('POLYGON (( 0 2, 0 4, 2 4, 2 2, 0 2))'));
INSERT INTO t1 VALUES("up3",    GeomFromText('POLYGON (( 0 3, 0 5, 2 5, 2 3, 0 3))'));
INSERT INTO t1 VALUES("down",   GeomFromText('POLYGON (( 0 -1, 0  1, 2  1, 2 -1, 0 -1))'));
INSERT INTO t1 VALUES("down2",  GeomFromText('POLYGON (( 0 -2, 0  0, 2  0, 2 -2, 0 -2))'));
INSERT INTO t1 VALUES("down3",  GeomFromText('POLYGON (( 0 -3, 0 -1, 2 -1, 2 -3, 0 -3))'));
INSERT INTO t1 VALUES("right",  GeomFromText('POLYGON (( 1 0, 1 2, 3 2, 3 0, 1 0))'));
INSERT INTO t1 VALUES("right2", GeomFromText('POLYGON (( 2 0, 2 2, 4 2, 4 0, 2 0))'));
INSERT INTO t1 VALUES("right3", GeomFromText('POLYGON (( 3 0, 3 2, 5 2, 5 0, 3 0))'));
INSERT INTO t1 VALUES("left",   GeomFromText('POLYGON (( -1 0, -1 2,  1 2,  1 0, -1 0))'));
INSERT INTO t1 VALUES("left2",  GeomFromText('POLYGON (( -2 0, -2 2,  0 2,  0 0, -2 0))'));
INSERT INTO t1 VALUES("left3",  GeomFromText('POLYGON (( -3 0, -3 2, -1 2, -1 0, -3 0))'));

-- from: gis.test
CREATE TABLE buildings (    fid INTEGER NOT NULL PRIMARY KEY,    address CHARACTER VARYING(64),    position POINT,    footprint POLYGON);
INSERT INTO buildings VALUES(113, '123 Main Street',  PointFromText(  'POINT( 52 30 )', 101),  PolyFromText(  'POLYGON( ( 50 31, 54 31, 54 29, 50 29, 50 31) )', 101));
INSERT INTO buildings VALUES(114, '215 Main Street',  PointFromText(  'POINT( 64 33 )', 101),  PolyFromText(  'POLYGON( ( 66 34, 62 34, 62 32, 66 32, 66 34) )', 101));

-- from: gis.test
create table t1 (a int, b blob);
insert into t1 values (1, ''), (2, NULL), (3, '1');

-- from: ctype_utf8mb4.test
CREATE TABLE t1 (id int PRIMARY KEY,                  a varchar(16) collate utf8mb4_unicode_ci NOT NULL default '',                  b int,                  f varchar(128) default 'XXX',                  INDEX (a(4)) ) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
INSERT INTO t1(id, a, b) VALUES   (1, 'cccc', 50), (2, 'cccc', 70), (3, 'cccc', 30),   (4, 'cccc', 30), (5, 'cccc', 20), (6, 'bbbbbb', 40),   (7, 'dddd', 30), (8, 'aaaa', 10), (9, 'aaaa', 50),   (10, 'eeeee', 40), (11, 'bbbbbb', 60);

-- from: ctype_utf8mb4.test
CREATE TABLE t2 (b CHAR(1) CHARACTER SET binary, i INT);
INSERT INTO t2 (b, i) VALUES ('1', 1);

-- from: ctype_utf8mb4.test
create table t1 (c varchar(30) character set utf8mb4 collate utf8mb4_bin, unique(c(10)));
insert into t1 values ('1'),('2'),('3'),('x'),('y'),('z');
insert into t1 values ('aaaaaaaaaa');
insert into t1 values (repeat('b',20));

-- from: ctype_ucs.test
CREATE TABLE t1 (id int, s char(5) CHARACTER SET ucs2 COLLATE ucs2_unicode_ci);
INSERT INTO t1 VALUES (1, 'ZZZZZ'), (1, 'ZZZ'), (2, 'ZZZ'), (2, 'ZZZZZ');

-- from: ctype_ucs.test
CREATE TABLE t1 (    word VARCHAR(64),    bar INT(11) default 0,    PRIMARY KEY (word))    ENGINE=MyISAM    CHARSET ucs2    COLLATE ucs2_general_ci;
INSERT INTO t1 (word) VALUES ("aar");
INSERT INTO t1 (word) VALUES ("a");
INSERT INTO t1 (word) VALUES ("aardvar");
INSERT INTO t1 (word) VALUES ("aardvark");
INSERT INTO t1 (word) VALUES ("aardvara");
INSERT INTO t1 (word) VALUES ("aardvarz");

-- from: ctype_ucs.test
CREATE TABLE t1 (    word TEXT,    bar INT(11) AUTO_INCREMENT,    PRIMARY KEY (bar))    ENGINE=MyISAM    CHARSET ucs2    COLLATE ucs2_general_ci;
INSERT INTO t1 (word) VALUES ("aar");
INSERT INTO t1 (word) VALUES ("a" );
INSERT INTO t1 (word) VALUES ("aardvar");
INSERT INTO t1 (word) VALUES ("aardvark");
INSERT INTO t1 (word) VALUES ("aardvara");
INSERT INTO t1 (word) VALUES ("aardvarz");

-- from: ctype_latin1.test
CREATE TABLE t1 (a VARCHAR(10) CHARACTER SET latin1 COLLATE latin1_swedish_ci);
INSERT INTO t1 VALUES ('a'),('A');

-- from: ctype_latin1.test
CREATE TABLE t (c TEXT CHARACTER SET latin1 COLLATE latin1_bin NOT NULL);
INSERT IGNORE INTO t VALUES (0);

-- from: ctype_big5.test
create table t1 (a char character set big5);
insert into t1 values (0xF9D6),(0xF9D7),(0xF9D8),(0xF9D9);
insert into t1 values (0xF9DA),(0xF9DB),(0xF9DC);

-- from: func_str.test
CREATE TABLE t1 (   i1 INT,    f1 FLOAT,   dc1 DECIMAL(10,5),   e1 ENUM('enum11','enum12','enum13'),   s1 SET('set1','set2','set3'),   t1 TIME,   d1 DATE,   dt1 DATETIME );
INSERT INTO t1 VALUES (-12345, -456.789, 123.45, 'enum13', 'set1,set3', '01:02:03', '2010-01-01', '2011-01-01 02:03:04');

-- from: func_str.test
CREATE TABLE t1 (   id int(10) unsigned NOT NULL,   title varchar(255) default NULL,   prio int(10) unsigned default NULL,   category int(10) unsigned default NULL,   program int(10) unsigned default NULL,   bugdesc text,   created datetime default NULL,   modified timestamp NOT NULL,   bugstatus int(10) unsigned default NULL,   submitter int(10) unsigned default NULL ) ENGINE=MyISAM;
INSERT INTO t1 VALUES (1,'Link',1,1,1,'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa','2001-02-28 08:40:16',20010228084016,0,4);

-- from: partition.test
CREATE TABLE t1 ( a char(2) NOT NULL, b char(2) NOT NULL, c int(10) unsigned NOT NULL, d varchar(255) DEFAULT NULL, e varchar(1000) DEFAULT NULL, PRIMARY KEY (a, b, c), KEY (a), KEY (a, b) ) /*!50100 PARTITION BY KEY (a) PARTITIONS 20 */;
INSERT INTO t1 (a, b, c, d, e) VALUES ('07', '03', 343, '1', '07_03_343'), ('01', '04', 343, '2', '01_04_343'), ('01', '06', 343, '3', '01_06_343'), ('01', '07', 343, '4', '01_07_343'), ('01', '08', 343, '5', '01_08_343'), ('01', '09', 343, '6', '01_09_343'), ('03', '03', 343, '7', '03_03_343'), ('03', '06', 343, '8', '03_06_343'), ('03', '07', 343, '9', '03_07_343'), ('04', '03', 343, '10', '04_03_343'), ('04', '06', 343, '11', '04_06_343'), ('05', '03', 343, '12', '05_03_343'), ('11', '03', 343, '13', '11_03_343'), ('11', '04', 343, '14', '11_04_343');

-- from: partition.test
CREATE TABLE t1 (id INT NOT NULL PRIMARY KEY,  name VARCHAR(16) NOT NULL,  year YEAR,  INDEX name (name(8)) ) PARTITION BY HASH(id) PARTITIONS 2;
INSERT INTO t1 VALUES ( 1, 'FooBar', '1924' );

-- from: partition.test
CREATE TABLE t1 (a int, name VARCHAR(50), purchased DATE) PARTITION BY RANGE (a) (PARTITION p0 VALUES LESS THAN (3),  PARTITION p1 VALUES LESS THAN (7),  PARTITION p2 VALUES LESS THAN (9),  PARTITION p3 VALUES LESS THAN (11));
INSERT INTO t1 VALUES (1, 'desk organiser', '2003-10-15'), (2, 'CD player', '1993-11-05'), (3, 'TV set', '1996-03-10'), (4, 'bookcase', '1982-01-10'), (5, 'exercise bike', '2004-05-09'), (6, 'sofa', '1987-06-05'), (7, 'popcorn maker', '2001-11-22'), (8, 'acquarium', '1992-08-04'), (9, 'study desk', '1984-09-16'), (10, 'lava lamp', '1998-12-25');

-- from: type_enum.test
CREATE TABLE t2 (a ENUM('a','A','b','B','c','C','d','D','e','E') CHARACTER SET latin1 COLLATE latin1_bin);
INSERT INTO t2 VALUES ('a'),('A');
INSERT INTO t2 VALUES ('b'),('B'),('c'),('C'),('d'),('D'),('e'),('E');

-- from: type_enum.test
create table t1 (a enum ('Y','N') CHARACTER SET utf8 COLLATE utf8_bin);
insert into t1 values ('Y');

-- from: type_set.test
create table t1 (s set ('a','A') character set latin1 collate latin1_bin);
insert into t1 values ('a'),('a,A'),('A,a'),('A');

-- from: type_set.test
CREATE TABLE t2 (c1 SET('a','A') CHARACTER SET latin1 COLLATE latin1_bin);
INSERT INTO t2 VALUES ('a'),('A');

-- from: type_blob.test
create table t1 (t text,c char(10),b blob, d varbinary(10));
insert into t1 values (NULL,NULL,NULL,NULL);
insert into t1 values ("","","","");
insert into t1 values ("hello","hello","hello","hello");
insert into t1 values ("HELLO","HELLO","HELLO","HELLO");
insert into t1 values ("HELLO MY","HELLO MY","HELLO MY","HELLO MY");
insert into t1 values ("a","a","a","a");
insert into t1 values (1,1,1,1);
insert into t1 values (NULL,NULL,NULL,NULL);

-- from: type_blob.test
create table t1 (nr int(5) not null auto_increment,b blob,str char(10), primary key (nr));
insert into t1 values (null,"a","A");
insert into t1 values (null,"bbb","BBB");
insert into t1 values (null,"ccc","CCC");

-- from: type_float.test
CREATE TABLE t1 (   reckey int unsigned NOT NULL,   recdesc varchar(50) NOT NULL,   PRIMARY KEY  (reckey) ) ENGINE=MyISAM DEFAULT CHARSET=latin1;
INSERT INTO t1 VALUES (108, 'Has 108 as key');
INSERT INTO t1 VALUES (109, 'Has 109 as key');

-- from: type_float.test
CREATE TABLE t1 (   f1 real zerofill,   f2 double zerofill,   f3 float zerofill);
INSERT INTO t1 VALUES ( 0.314152e+1, 0.314152e+1, 0.314152e+1);

-- from: type_newdecimal.test
create table wl1612 (col1 int, col2 decimal(38,10), col3 numeric(38,10));
insert into wl1612 values(1,12345678901234567890.1234567890,12345678901234567890.1234567890);
insert into wl1612 values(2,01234567890123456789.0123456789,01234567890123456789.0123456789);
insert into wl1612 values(3,1234567890123456789012345678.0123456789,1234567890123456789012345678.0123456789);
insert into wl1612 values(5,5000.0005,5000.0005);
insert into wl1612 values(6,5000.0005,5000.0005);
insert into wl1612 values(7,500000.000005,500000.000005);
insert into wl1612 values(8,500000.000005,500000.000005);
insert into wl1612 (col1, col2) values(9,1.01234567891);
insert into wl1612 (col1, col2) values(10,1.01234567894);
insert into wl1612 (col1, col2) values(11,1.01234567895);
insert into wl1612 (col1, col2) values(12,1.01234567896);
insert into wl1612 (col1, col3) values(13,1.01234567891);
insert into wl1612 (col1, col3) values(14,1.01234567894);
insert into wl1612 (col1, col3) values(15,1.01234567895);
insert into wl1612 (col1, col3) values(16,1.01234567896);

-- from: type_newdecimal.test
create table t1 (a decimal(4,2) unsigned);
insert ignore into t1 value (10000), (1.1e10), ("11111"), (100000.1);
insert ignore into t1 value (-10000), (-1.1e10), ("-11111"), (-100000.1);

-- from: type_year.test
CREATE TABLE t1 (y YEAR NOT NULL, s VARCHAR(4));
INSERT IGNORE INTO t1 (s) VALUES ('bad');
INSERT INTO t1 (y, s) VALUES (0, 0), (2000, 2000), (2001, 2001);

-- from: type_time.test
CREATE TABLE  t1 (   f2 date NOT NULL,   f3 int(11) unsigned NOT NULL default '0',   PRIMARY KEY  (f3, f2) );
insert into t1 values('2007-07-01', 1);
insert into t1 values('2007-07-01', 2);
insert into t1 values('2007-07-02', 1);
insert into t1 values('2007-07-02', 2);

-- from: type_time.test
CREATE TABLE t1 (a INT, b DECIMAL, c DOUBLE);
INSERT INTO t1 VALUES (-9000000,-9000000,-9000000);
INSERT INTO t1 VALUES (-1,-1,-1);
INSERT INTO t1 VALUES (0,0,0),(1,1,1),(9,9,9);
INSERT INTO t1 VALUES (9000000,9000000,9000000);

-- from: type_timestamp.test
CREATE TABLE t1 (date date, date_time datetime, time_stamp timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP);
INSERT INTO t1 VALUES ("1998-12-31","1998-12-31 23:59:59",19981231235959);
INSERT INTO t1 VALUES ("1999-01-01","1999-01-01 00:00:00",19990101000000);
INSERT INTO t1 VALUES ("1999-09-09","1999-09-09 23:59:59",19990909235959);
INSERT INTO t1 VALUES ("2000-01-01","2000-01-01 00:00:00",20000101000000);
INSERT INTO t1 VALUES ("2000-02-28","2000-02-28 00:00:00",20000228000000);
INSERT INTO t1 VALUES ("2000-02-29","2000-02-29 00:00:00",20000229000000);
INSERT INTO t1 VALUES ("2000-03-01","2000-03-01 00:00:00",20000301000000);
INSERT INTO t1 VALUES ("2000-12-31","2000-12-31 23:59:59",20001231235959);
INSERT INTO t1 VALUES ("2001-01-01","2001-01-01 00:00:00",20010101000000);
INSERT INTO t1 VALUES ("2004-12-31","2004-12-31 23:59:59",20041231235959);
INSERT INTO t1 VALUES ("2005-01-01","2005-01-01 00:00:00",20050101000000);
INSERT INTO t1 VALUES ("2030-01-01","2030-01-01 00:00:00",20300101000000);

-- from: type_timestamp.test
CREATE TABLE t1 (value TEXT NOT NULL, id VARCHAR(32) NOT NULL, stamp timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP, PRIMARY KEY (id));
INSERT INTO t1 VALUES ("my value", "myKey","1999-04-02 00:00:00");

-- from: type_timestamp.test
CREATE TABLE t1 (a int, t timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP);
insert into t1 values(1,NULL);
insert into t1 values(2,"2002-03-03");
insert into t1 values(3,NULL);
insert into t1 (a) values(4);

-- from: type_datetime.test
CREATE TABLE `t1` (   `date` datetime NOT NULL default '0000-00-00 00:00:00',   `numfacture` int(6) unsigned NOT NULL default '0',   `expedition` datetime NOT NULL default '0000-00-00 00:00:00',   PRIMARY KEY  (`numfacture`),   KEY `date` (`date`),   KEY `expedition` (`expedition`) ) ENGINE=MyISAM;
INSERT INTO t1 (expedition) VALUES ('0001-00-00 00:00:00');
INSERT INTO t1 (numfacture,expedition) VALUES ('1212','0001-00-00 00:00:00');

-- from: type_datetime.test
CREATE TABLE t1 (a timestamp NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP, b date, c time, d datetime);
insert into t1 (b,c,d) values(now(),curtime(),now());

-- from: type_binary.test
create table t1 (s1 binary(2), s2 varbinary(2));
insert into t1 values (0x4100,0x4100);
insert into t1 values (0x4120,0x4120);

-- from: type_binary.test
create table t1 (b binary(2), vb varbinary(2));
insert into t1 values(0x4120, 0x4120);
insert ignore into t1 values(0x412020, 0x412020);

-- from: type_varchar.test
create table t1 (v varchar(30), c char(3), e enum('abc','def','ghi'), t text);
insert into t1 values ('abc', 'de', 'ghi', 'jkl');
insert into t1 values ('abc ', 'de ', 'ghi', 'jkl ');
insert into t1 values ('abc    ', 'd  ', 'ghi', 'jkl    ');

-- from: type_varchar.test
create table t3 (   id int(11),   en varchar(255) character set utf8,   cz varchar(255) character set utf8 );
insert into t3 (id, en, cz) values  (1,'en string 1','cz string 1'), (2,'en string 2','cz string 2'), (3,'en string 3','cz string 3');
