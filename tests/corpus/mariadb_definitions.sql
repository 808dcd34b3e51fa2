-- Real-world definitions: views, procedures, functions and triggers from MariaDB's
-- own test suite, Debian package mariadb-test 10.11
-- (/usr/share/mysql/mysql-test/main/{trigger,sp-dynamic,view_alias,sp-code,sp-vars,
-- view,sp}.test), extracted with tests/corpus/extract.py --definitions: each block is
-- what was live in the test file when it dropped something (every object with the
-- tables it stands on and their rows), its names given the block's prefix dNNN_ so
-- that all blocks share one database. Kept: the blocks that load on MariaDB 10.11.
-- Each block: a "-- from:" line naming its file, then its statements in latin1 as
-- the test suite's client sends them, each ended by a line "-- ;".

-- from: trigger.test
create table d001_t1 (i int)
-- ;
insert into d001_t1 values (1)
-- ;
create trigger d001_trg before insert on d001_t1 for each row set @a:=1
-- ;

-- from: trigger.test
create table d002_t1 (i int)
-- ;
insert into d002_t1 values (1)
-- ;
insert into d002_t1 values (123)
-- ;
create trigger d002_trg before insert on d002_t1 for each row set @a:=new.i
-- ;

-- from: trigger.test
create table d003_t1 (i int not null, j int)
-- ;
insert into d003_t1 (i) values (1)
-- ;
insert into d003_t1 (i,j) values (2, 3)
-- ;
create trigger d003_trg before insert on d003_t1 for each row 
begin 
  if isnull(new.j) then
    set new.j:= new.i * 10;
  end if;
end
-- ;

-- from: trigger.test
create table d004_t1 (i int not null primary key)
-- ;
insert into d004_t1 values (2),(3),(4),(5)
-- ;
create trigger d004_trg after insert on d004_t1 for each row 
  set @a:= if(@a,concat(@a, ":", new.i), new.i)
-- ;

-- from: trigger.test
create table d005_t1 (aid int not null primary key, balance int not null default 0)
-- ;
insert into d005_t1 values (1, 1000), (2,3000)
-- ;
create trigger d005_trg before update on d005_t1 for each row 
begin
  declare loc_err varchar(255);
  if abs(new.balance - old.balance) > 1000 then
    set new.balance:= old.balance;
    set loc_err := concat("Too big change for aid = ", new.aid);
    set @update_failed:= if(@update_failed, concat(@a, ":", loc_err), loc_err);
  end if;
end
-- ;

-- from: trigger.test
create table d006_t1 (i int)
-- ;
insert into d006_t1 values (1),(2),(3),(4)
-- ;
create trigger d006_trg after update on d006_t1 for each row 
  set @total_change:=@total_change + new.i - old.i
-- ;

-- from: trigger.test
create table d007_t1 (i int)
-- ;
insert into d007_t1 values (1),(2),(3),(4)
-- ;
create trigger d007_trg before delete on d007_t1 for each row 
  set @del_sum:= @del_sum + old.i
-- ;

-- from: trigger.test
create table d008_t1 (i int)
-- ;
insert into d008_t1 values (1),(2),(3),(4)
-- ;
create trigger d008_trg after delete on d008_t1 for each row set @del:= 1
-- ;

-- from: trigger.test
create table d009_t1 (i int, j int)
-- ;
insert into d009_t1 values (1,2),(2,3),(3,14)
-- ;
create trigger d009_trg1 before insert on d009_t1 for each row 
begin
  if new.j > 10 then
    set new.j := 10;
  end if;
end
-- ;
create trigger d009_trg2 before update on d009_t1 for each row 
begin
  if old.i % 2 = 0 then
    set new.j := -1;
  end if;
end
-- ;
create trigger d009_trg3 after update on d009_t1 for each row 
begin
  if new.j = -1 then
    set @fired:= "Yes";
  end if;
end
-- ;

-- from: trigger.test
create table d010_t1 (id int not null primary key, data int)
-- ;
insert into d010_t1 values (1, 1)
-- ;
insert into d010_t1 (id, data) values (1, 3), (2, 2) on duplicate key update data= data + 1
-- ;
create trigger d010_t1_bi before insert on d010_t1 for each row
  set @log:= concat(@log, "(BEFORE_INSERT: new=(id=", new.id, ", data=", new.data,"))")
-- ;
create trigger d010_t1_ai after insert on d010_t1 for each row
  set @log:= concat(@log, "(AFTER_INSERT: new=(id=", new.id, ", data=", new.data,"))")
-- ;
create trigger d010_t1_bu before update on d010_t1 for each row
  set @log:= concat(@log, "(BEFORE_UPDATE: old=(id=", old.id, ", data=", old.data,
                                        ") new=(id=", new.id, ", data=", new.data,"))")
-- ;
create trigger d010_t1_au after update on d010_t1 for each row
  set @log:= concat(@log, "(AFTER_UPDATE: old=(id=", old.id, ", data=", old.data,
                                       ") new=(id=", new.id, ", data=", new.data,"))")
-- ;
create trigger d010_t1_bd before delete on d010_t1 for each row
  set @log:= concat(@log, "(BEFORE_DELETE: old=(id=", old.id, ", data=", old.data,"))")
-- ;
create trigger d010_t1_ad after delete on d010_t1 for each row
  set @log:= concat(@log, "(AFTER_DELETE: old=(id=", old.id, ", data=", old.data,"))")
-- ;

-- from: trigger.test
create table d011_t1 (id int primary key, data varchar(10), fk int)
-- ;
insert into d011_t1 (id, data) values (1, "one"), (2, "two")
-- ;
create table d011_t2 (event varchar(100))
-- ;
create table d011_t3 (id int primary key)
-- ;
create trigger d011_t1_ai after insert on d011_t1 for each row 
  insert into d011_t2 values (concat("INSERT INTO d011_t1 id=", new.id, " data='", new.data, "'"))
-- ;

-- from: trigger.test
create table d012_t1 (id int primary key, data varchar(10), fk int)
-- ;
insert into d012_t1 (id, data) values (1, "one"), (2, "two")
-- ;
insert into d012_t1 values (4, "four", 1), (5, "five", 2)
-- ;
create table d012_t2 (event varchar(100))
-- ;
create table d012_t3 (id int primary key)
-- ;
insert into d012_t3 values (1)
-- ;
create trigger d012_t1_bi before insert on d012_t1 for each row
begin
  if exists (select id from d012_t3 where id=new.fk) then
    insert into d012_t2 values (concat("INSERT INTO d012_t1 id=", new.id, " data='", new.data, "' fk=", new.fk));
  else
    insert into d012_t2 values (concat("INSERT INTO d012_t1 FAILED id=", new.id, " data='", new.data, "' fk=", new.fk));
    set new.id= NULL;
  end if;
end
-- ;

-- from: trigger.test
create table d014_t1 (id int primary key, fk_t2 int)
-- ;
insert into d014_t1 values (1,1), (2,1), (3,2)
-- ;
create table d014_t2 (id int primary key, fk_t3 int)
-- ;
insert into d014_t2 values (1,1), (2,2)
-- ;
create table d014_t3 (id int primary key)
-- ;
insert into d014_t3 values (1), (2)
-- ;
create trigger d014_t3_ad after delete on d014_t3 for each row
  delete from d014_t2 where fk_t3=old.id
-- ;
create trigger d014_t2_ad after delete on d014_t2 for each row
  delete from d014_t1 where fk_t2=old.id
-- ;

-- from: trigger.test
create table d015_t1 (id int primary key, copy int)
-- ;
insert into d015_t1 values (1,3), (2,4), (3,3)
-- ;
create table d015_t2 (id int primary key, data int)
-- ;
insert into d015_t2 values (1,1), (2,2)
-- ;
create trigger d015_t1_bi before insert on d015_t1 for each row
  set new.copy= (select data from d015_t2 where id = new.id)
-- ;
create trigger d015_t1_bu before update on d015_t1 for each row
  set new.copy= (select data from d015_t2 where id = new.id)
-- ;

-- from: trigger.test
create table d016_t1 (i int)
-- ;
create table d016_t3 (i int)
-- ;
create trigger d016_trg before insert on d016_t1 for each row set @a:=1
-- ;
create trigger d016_trg2 before insert on d016_t1 for each row set @a:=1
-- ;

-- from: trigger.test
create table d017_t1 (i int)
-- ;
create table d017_t3 (i int)
-- ;
create trigger d017_trg before insert on d017_t1 for each row set @a:=1
-- ;
create trigger d017_trg2 before insert on d017_t3 for each row set @a:=1
-- ;

-- from: trigger.test
create table d018_t1 (i int)
-- ;
create table d018_t3 (i int)
-- ;
create view d018_v1 as select * from d018_t1
-- ;

-- from: trigger.test
create table d019_t1 (x1col char)
-- ;
insert into d019_t1 values ('y')
-- ;
create trigger d019_tx1 before insert on d019_t1 for each row set new.x1col = 'x'
-- ;

-- from: trigger.test
create table d020_t1 (i int) engine=myisam
-- ;
insert into d020_t1 values (1), (2)
-- ;
create trigger d020_trg1 before delete on d020_t1 for each row set @del_before:= @del_before + old.i
-- ;
create trigger d020_trg2 after delete on d020_t1 for each row set @del_after:= @del_after + old.i
-- ;

-- from: trigger.test
create table d021_t1 (a int)
-- ;
create trigger d021_trg1 before insert on d021_t1 for each row set new.a= 10
-- ;

-- from: trigger.test
create table d022_t1 (i int, j int default 10, k int not null, key (k))
-- ;
insert into d022_t1 (i, k) values (1, 1)
-- ;
insert into d022_t1 values (2, 13, 2)
-- ;
create table d022_t2 (i int)
-- ;
insert into d022_t2 values (1)
-- ;
insert into d022_t2 values (2)
-- ;
create trigger d022_trg1 before update on d022_t1 for each row set @a:= @a + new.j - old.j
-- ;
create trigger d022_trg2 after update on d022_t1 for each row set @b:= "Fired"
-- ;
create trigger d022_trg3 before delete on d022_t1 for each row set @c:= @c + old.j
-- ;
create trigger d022_trg4 before delete on d022_t2 for each row set @d:= @d + old.i
-- ;
create trigger d022_trg5 after delete on d022_t1 for each row set @e:= "After delete d022_t1 fired"
-- ;
create trigger d022_trg6 after delete on d022_t2 for each row set @f:= "After delete d022_t2 fired"
-- ;

-- from: trigger.test
create table d024_t1 (i int, j int, k int)
-- ;
create trigger d024_trg1 before insert on d024_t1 for each row set new.k = new.i
-- ;
create trigger d024_trg2 after insert on d024_t1 for each row set @b:= "Fired"
-- ;

-- from: trigger.test
create table d027_t1 (col1 int, col2 int)
-- ;
insert into d027_t1 values (1, 2)
-- ;
create function d027_bug5893 () returns int return 5
-- ;
create trigger d027_t1_bu before update on d027_t1 for each row set new.col1= d027_bug5893()
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'ansi'
-- ;
create table d028_t1 ("d028_t1 column" int)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
insert into d028_t1 values (0)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
insert into d028_t1 values (0)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
create trigger d028_t1_bi before insert on d028_t1 for each row set new."d028_t1 column" = 5
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = ""
-- ;
create trigger d028_t1_af after insert on d028_t1 for each row set @a=10
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
create table d030_t1 (id int)
-- ;
create trigger d030_t1_ai after insert on d030_t1 for each row call d030_p1()
-- ;
create procedure d030_p1() flush tables
-- ;

-- from: trigger.test
create table d031_t1 (id int)
-- ;
create trigger d031_t1_ai after insert on d031_t1 for each row call d031_p1()
-- ;
create procedure d031_p1() reset query cache
-- ;

-- from: trigger.test
create table d032_t1 (id int)
-- ;
create trigger d032_t1_ai after insert on d032_t1 for each row call d032_p1()
-- ;
create procedure d032_p1() reset master
-- ;

-- from: trigger.test
create table d033_t1 (id int)
-- ;
create trigger d033_t1_ai after insert on d033_t1 for each row call d033_p1()
-- ;
create procedure d033_p1() reset slave
-- ;

-- from: trigger.test
create table d034_t1 (id int)
-- ;
create trigger d034_t1_ai after insert on d034_t1 for each row call d034_p1()
-- ;
create procedure d034_p1() flush hosts
-- ;

-- from: trigger.test
create table d035_t1 (id int)
-- ;
create trigger d035_t1_ai after insert on d035_t1 for each row call d035_p1()
-- ;
create procedure d035_p1() flush privileges
-- ;

-- from: trigger.test
create table d036_t1 (id int)
-- ;
create trigger d036_t1_ai after insert on d036_t1 for each row call d036_p1()
-- ;
create procedure d036_p1() flush tables with read lock
-- ;

-- from: trigger.test
create table d037_t1 (id int)
-- ;
create trigger d037_t1_ai after insert on d037_t1 for each row call d037_p1()
-- ;
create procedure d037_p1() flush tables
-- ;

-- from: trigger.test
create table d038_t1 (id int)
-- ;
create trigger d038_t1_ai after insert on d038_t1 for each row call d038_p1()
-- ;
create procedure d038_p1() flush logs
-- ;

-- from: trigger.test
create table d039_t1 (id int)
-- ;
create trigger d039_t1_ai after insert on d039_t1 for each row call d039_p1()
-- ;
create procedure d039_p1() flush status
-- ;

-- from: trigger.test
create table d040_t1 (id int)
-- ;
create trigger d040_t1_ai after insert on d040_t1 for each row call d040_p1()
-- ;
create procedure d040_p1() flush slave
-- ;

-- from: trigger.test
create table d041_t1 (id int)
-- ;
create trigger d041_t1_ai after insert on d041_t1 for each row call d041_p1()
-- ;
create procedure d041_p1() flush master
-- ;

-- from: trigger.test
create table d042_t1 (id int)
-- ;
create trigger d042_t1_ai after insert on d042_t1 for each row call d042_p1()
-- ;
create procedure d042_p1() flush des_key_file
-- ;

-- from: trigger.test
create table d043_t1 (id int)
-- ;
create trigger d043_t1_ai after insert on d043_t1 for each row call d043_p1()
-- ;
create procedure d043_p1() flush user_resources
-- ;

-- from: trigger.test
create table d044_t1 (id int, data int, username varchar(16))
-- ;
insert into d044_t1 (id, data) values (1, 0)
-- ;
create trigger d044_t1_whoupdated before update on d044_t1 for each row
begin
  declare user varchar(32);
  declare i int;
  select user() into user;
  set NEW.username = user;
  select count(*) from ((select 1) union (select 2)) as d1 into i;
end
-- ;

-- from: trigger.test
create table d045_t1 (c1 int, c2 datetime)
-- ;
insert into d045_t1 (c1) values (1),(2),(3)
-- ;
create procedure d045_bug11587(x char(16))
begin
  select "hello";
  select "hello again";
end
-- ;
create trigger d045_tr1 before insert on d045_t1 for each row 
begin 
  call d045_bug11587();
  set new.c2= '2004-04-02';
end
-- ;

-- from: trigger.test
create table d046_t1 (f1 integer)
-- ;
create table d046_t2 (f2 integer)
-- ;
create trigger d046_t1_ai after insert on d046_t1
  for each row insert into d046_t2 values (new.f1+1)
-- ;
create trigger d046_t2_ai after insert on d046_t2
  for each row insert into d046_t1 values (new.f2+1)
-- ;

-- from: trigger.test
create table d047_t1 (f1 integer)
-- ;
create table d047_t2 (f2 integer)
-- ;
create trigger d047_t1_bu before update on d047_t1
  for each row insert into d047_t1 values (2)
-- ;

-- from: trigger.test
create table d048_t1 (f1 integer)
-- ;
create table d048_t2 (f2 integer)
-- ;
create trigger d048_t1_bu before update on d048_t1
  for each row delete from d048_t1 where f1=new.f1
-- ;

-- from: trigger.test
create table d049_t1 (f1 integer)
-- ;
insert into d049_t1 values (3)
-- ;
create table d049_t2 (f2 integer)
-- ;
create trigger d049_t1_bi before insert on d049_t1
  for each row set new.f1=(select sum(f1) from d049_t1)
-- ;

-- from: trigger.test
create table d050_t1 (id int)
-- ;
create table d050_t2 (id int)
-- ;
insert into d050_t2 values (3)
-- ;
create table d050_t3 (id int)
-- ;
create function d050_f1() returns int return (select max(id)+2 from d050_t2)
-- ;
create view d050_v1 as select d050_f1() as f
-- ;
create trigger d050_t1_trg before insert on d050_t1 for each row set NEW.id:= 1
-- ;

-- from: trigger.test
create table d051_t1 (id int)
-- ;
create table d051_t2 (id int)
-- ;
insert into d051_t2 values (3)
-- ;
create table d051_t3 (id int)
-- ;
create function d051_f1() returns int return (select max(id)+2 from d051_t2)
-- ;
create view d051_v1 as select d051_f1() as f
-- ;
create trigger d051_t1_trg before insert on d051_t1 for each row
  insert into d051_t3 values (new.id)
-- ;

-- from: trigger.test
create table d052_t1 (id int)
-- ;
create table d052_t2 (id int)
-- ;
insert into d052_t2 values (3)
-- ;
create table d052_t3 (id int)
-- ;
create function d052_f1() returns int return (select max(id)+2 from d052_t2)
-- ;
create view d052_v1 as select d052_f1() as f
-- ;
create trigger d052_t1_trg before insert on d052_t1 for each row
  insert into d052_t3 values (new.id + 100)
-- ;

-- from: trigger.test
create table d053_t1 (id int)
-- ;
create table d053_t2 (id int)
-- ;
insert into d053_t2 values (3)
-- ;
create table d053_t3 (id int)
-- ;
create function d053_f1() returns int return (select max(id)+2 from d053_t2)
-- ;
create view d053_v1 as select d053_f1() as f
-- ;
create trigger d053_t1_trg before update on d053_t1 for each row
  insert into d053_t3 values (new.id)
-- ;

-- from: trigger.test
create table d054_t1 (id int)
-- ;
create table d054_t2 (id int)
-- ;
insert into d054_t2 values (3)
-- ;
insert into d054_t2 values (10)
-- ;
create table d054_t3 (id int)
-- ;
create function d054_f1() returns int return (select max(id)+2 from d054_t2)
-- ;
create view d054_v1 as select d054_t1.id as id1 from d054_t1, d054_t2 where d054_t1.id= d054_t2.id
-- ;
create trigger d054_t1_trg before update on d054_t1 for each row
  insert into d054_t3 values (new.id + 100)
-- ;

-- from: trigger.test
create table d055_t1 (id int)
-- ;
create table d055_t2 (id int)
-- ;
create trigger d055_t1_bi before insert on d055_t1 for each row insert into d055_t2 values (new.id)
-- ;
create procedure d055_p1() insert into d055_t1 values (10)
-- ;

-- from: trigger.test
create table d056_t1 (id int)
-- ;
create table d056_t2 (id int)
-- ;
create table d056_t3 (id int)
-- ;
create trigger d056_t1_bi after insert on d056_t1 for each row insert into d056_t2 values (new.id)
-- ;
create procedure d056_p1() insert into d056_t1 values (10)
-- ;

-- from: trigger.test
create table d057_t1 (id int)
-- ;
create table d057_t2 (id int)
-- ;
create table d057_t3 (id int)
-- ;
create procedure d057_p1() insert into d057_t1 values (10)
-- ;
create trigger d057_t1_bi after insert on d057_t1 for each row insert into d057_t3 values (new.id)
-- ;

-- from: trigger.test
create table d058_t1 (a int)
-- ;
CREATE PROCEDURE `d058_p1`()
begin
  insert into d058_t1 values (1);
end
-- ;
create trigger d058_trg before insert on d058_t1 for each row 
begin 
  declare done int default 0;
  set done= not done;
end
-- ;

-- from: trigger.test
create table d060_t1 (id int)
-- ;
insert into d060_t1 values (101)
-- ;
insert into d060_t1 values (102)
-- ;
insert into d060_t1 values (103)
-- ;
insert into d060_t1 values (104)
-- ;
create trigger d060_t1_bi before insert on d060_t1 for each row set @a:=new.id
-- ;

-- from: trigger.test
create table d061_t1 (id int)
-- ;
insert into d061_t1 values (101)
-- ;
insert into d061_t1 values (102)
-- ;
create trigger d061_t1_bi before insert on d061_t1 for each row set @a:=new.id
-- ;
create trigger d061_t1_ai after insert on d061_t1 for each row set @b:=new.id
-- ;

-- from: trigger.test
create table d062_t1 (a varchar(64), b int)
-- ;
insert into d062_t1 (a) values
  ("Twas"),("brillig"),("and"),("the"),("slithy"),("toves"),
  ("Did"),("gyre"),("and"),("gimble"),("in"),("the"),("wabe")
-- ;
create table d062_t2 like d062_t1
-- ;
insert into d062_t2 select * from d062_t1
-- ;
create trigger d062_t1_ai after insert on d062_t1 for each row
  set @a:= (select max(a) from d062_t1)
-- ;
create trigger d062_t2_ai after insert on d062_t2 for each row
  set @a:= (select max(a) from d062_t2)
-- ;

-- from: trigger.test
create table d064_t1(i int not null, j int not null, n numeric(15,2), primary key(i,j))
-- ;
insert into d064_t1 values
  (1,1,10.00),(1,2,10.00),(1,3,10.00),(1,4,10.00),(1,5,10.00),
  (1,6,10.00),(1,7,10.00),(1,8,10.00),(1,9,10.00),(1,10,10.00),
  (1,11,10.00),(1,12,10.00),(1,13,10.00),(1,14,10.00),(1,15,10.00)
-- ;
create table d064_t2(i int not null, n numeric(15,2), primary key(i))
-- ;
create trigger d064_t1_ai after insert on d064_t1 for each row
begin
  declare sn numeric(15,2);
  select sum(n) into sn from d064_t1 where i=new.i;
  replace into d064_t2 values(new.i, sn);
end
-- ;

-- from: trigger.test
CREATE TABLE d065_t1 (
    conn_id INT,
    trigger_conn_id INT
)
-- ;
INSERT INTO d065_t1 (conn_id, trigger_conn_id) VALUES (CONNECTION_ID(), -1)
-- ;
INSERT INTO d065_t1 (conn_id, trigger_conn_id) VALUES (CONNECTION_ID(), -1)
-- ;
CREATE TRIGGER d065_t1_bi BEFORE INSERT ON d065_t1 FOR EACH ROW
  SET NEW.trigger_conn_id = CONNECTION_ID()
-- ;

-- from: trigger.test
CREATE TABLE d066_t1 (i1 INT)
-- ;
INSERT INTO d066_t1 VALUES (@x)
-- ;
INSERT INTO d066_t1 VALUES (@x)
-- ;
SET SESSION sql_mode = ''
-- ;
CREATE TRIGGER d066_t1_ai AFTER INSERT ON d066_t1 FOR EACH ROW
  SET @x = 5/0
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE TRIGGER d066_t1_au AFTER UPDATE ON d066_t1 FOR EACH ROW
  SET @x = 5/0
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d072_t1 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
insert into d072_t1 values(10, 10)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
insert into d072_t1 values(20, 20)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d072_t2 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d072_t3 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d072_t4 (c int)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d072_t4_bi before insert on d072_t4 for each row set @t4_bi_called:=1
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d072_t4_bu before update on d072_t4 for each row set @t4_bu_called:=1
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d072_t1_bi before insert on d072_t1 for each row set @a:=1/0
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d073_t1 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
insert into d073_t1 values(10, 10)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
insert into d073_t1 values(20, 20)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
insert into d073_t1 values(30, 30)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d073_t2 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d073_t3 (id int(10) not null primary key, v int(10) )
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create table d073_t4 (c int)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d073_t4_bi before insert on d073_t4 for each row set @t4_bi_called:=1
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d073_t4_bu before update on d073_t4 for each row set @t4_bu_called:=1
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'TRADITIONAL'
-- ;
create trigger d073_t1_bi before insert on d073_t1 for each row
begin
  insert into d073_t2 values (new.id, new.v);
  update d073_t2 set v=v+1 where id= new.id;
  replace d073_t3 values (new.id, 0);
  update d073_t2, d073_t3 set d073_t2.v=new.v, d073_t3.v=new.v where d073_t2.id=d073_t3.id;
  create temporary table t5 select * from d073_t1;
  delete from t5;
  insert into t5 select * from d073_t1;
  insert into d073_t4 values (0);
  set @check= (select count(*) from t5);
  update d073_t4 set c= @check;
  drop temporary table t5;

  set @a:=1/0;
end
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
CREATE TABLE d099_t1 (a INT)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
INSERT INTO d099_t1 VALUES (1)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
CREATE TRIGGER d099_trg1 BEFORE INSERT ON d099_t1 FOR EACH ROW
BEGIN
  DECLARE a CHAR;
  SELECT 'ab' INTO a;
  SELECT 'ab' INTO a;
  SELECT 'a' INTO a;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
CREATE TABLE d100_t1 (a INT)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
INSERT INTO d100_t1 VALUES (0)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
INSERT INTO d100_t1 VALUES (1),(2)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
CREATE TRIGGER d100_trg1 BEFORE INSERT ON d100_t1 FOR EACH ROW
BEGIN
  DECLARE d100_trg1 CHAR;
  SELECT 'ab' INTO d100_trg1;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'NO_ENGINE_SUBSTITUTION'
-- ;
CREATE TRIGGER d100_trg2 AFTER INSERT ON d100_t1 FOR EACH ROW
BEGIN
  DECLARE d100_trg2 CHAR;
  SELECT 'ab' INTO d100_trg2;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
create table d101_t1 (i int)
-- ;
create trigger d101_t1_bi before insert on d101_t1 for each row set @a:=1
-- ;

-- from: trigger.test
CREATE TABLE d102_t1(c TEXT)
-- ;
INSERT INTO d102_t1 VALUES('qazwsxedc')
-- ;
CREATE TRIGGER d102_t1_bi BEFORE INSERT ON d102_t1 FOR EACH ROW
BEGIN
  DECLARE v TEXT;
  SET v = 'aaa';
  SET NEW.c = v;
END
-- ;

-- from: trigger.test
CREATE TABLE d103_t1 (a int)
-- ;
INSERT INTO d103_t1
  VALUES (1),(2),(3),(4),(5),(6),(7),(8),(9)
-- ;
CREATE TABLE d103_t2 (b int)
-- ;
INSERT INTO d103_t2
  VALUES (0),(0),(0),(0),(0),(0),(0),(0),(0)
-- ;
CREATE TRIGGER d103_tr AFTER UPDATE ON d103_t1 FOR EACH ROW
  UPDATE d103_t2 SET b = (SELECT COUNT(a) FROM d103_t1)
-- ;

-- from: trigger.test
SET SESSION sql_mode = 'STRICT_ALL_TABLES,STRICT_TRANS_TABLES'
-- ;
CREATE TABLE d104_t1 (c CHAR(1) NOT NULL)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'STRICT_ALL_TABLES,STRICT_TRANS_TABLES'
-- ;
CREATE TRIGGER d104_t1_bi
  BEFORE INSERT
  ON d104_t1
  FOR EACH ROW
 BEGIN
  SET NEW.c = repeat(@rpt,@rpt);
  set @rpt=@rpt+1;
 END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: trigger.test
CREATE TABLE d105_t1 (i INT)
-- ;
CREATE VIEW d105_v1 AS SELECT * FROM d105_t1 WHERE RAND() > 0.5
-- ;
CREATE TABLE d105_t2 (a int)
-- ;
CREATE TABLE d105_t3 (a int)
-- ;
create trigger d105_trg after insert on d105_t2 for each row
  INSERT INTO d105_t3 SELECT MAX(i) FROM d105_v1 UNION SELECT MAX(i) FROM d105_v1
-- ;

-- from: trigger.test
CREATE TABLE d106_t1 (b BLOB NOT NULL)
-- ;
INSERT INTO d106_t1 VALUES ('foo')
-- ;
CREATE TRIGGER d106_tr BEFORE UPDATE ON d106_t1 FOR EACH ROW BEGIN END
-- ;

-- from: trigger.test
create table d107_t1 (i int)
-- ;
insert into d107_t1 values (1)
-- ;
create trigger d107_tr1 after insert on d107_t1 for each row set @a=@a+1
-- ;
create trigger d107_tr2 after insert on d107_t1 for each row set @a=@a+1
-- ;
create trigger d107_tr3 after insert on d107_t1 for each row set @a=@a+1
-- ;

-- from: trigger.test
create table d108_t1 (i int)
-- ;
create or replace trigger d108_tr1 after insert on d108_t1 for each row set @a=@a+1
-- ;
create or replace trigger d108_tr2 after insert on d108_t1 for each row set @a=@a+1
-- ;

-- from: trigger.test
CREATE TABLE d110_t2 (b INT)
-- ;
CREATE TABLE d110_t1 (a INT, b INT, total INT)
-- ;
INSERT INTO d110_t1 (a,b) VALUES (10, 20)
-- ;
CREATE TRIGGER d110_tr1 BEFORE INSERT ON d110_t1
FOR EACH ROW
BEGIN
  DECLARE va TYPE OF d110_t1.a DEFAULT NEW.a;
  DECLARE vb TYPE OF d110_t1.b DEFAULT NEW.b;
  SET NEW.total:= va + vb;
END;
-- ;

-- from: trigger.test
create table d111_t1 (m set('sms') not null)
-- ;
insert into d111_t1 values ('sms')
-- ;
create table d111_t2 (i int)
-- ;
create table d111_t3 (j int)
-- ;
create trigger d111_t1 after insert on d111_t1 for each row insert ignore into d111_t2 select d111_t3.j from d111_t3 join (select 'sms' as method) m on find_in_set(m.method, new.m)
-- ;

-- from: trigger.test
create table d112_t1 (a int)
-- ;
insert into d112_t1 values (null)
-- ;
create trigger d112_t1_trg before insert on d112_t1 for each row
begin
  if isnull(new.a) then
    set new.a:= 1000;
  end if;
end
-- ;

-- from: trigger.test
create table d113_t1 (a int)
-- ;
create trigger d113_t1_trg_2 before insert on d113_t1 for each row
begin
  if isnull(new.a) then
    set new.a:= 1000;
  end if;
end
-- ;

-- from: sp-dynamic.test
create procedure d114_p1()
begin
  prepare stmt from "select 1";
  execute stmt;
  execute stmt;
  execute stmt;
  deallocate prepare stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d115_p1()
begin
  execute stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d116_p1()
begin
  prepare stmt from "create procedure p2() begin select 1; end";
  execute stmt;
  deallocate prepare stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d117_p1()
begin
  prepare stmt from "drop procedure p2";
  execute stmt;
  deallocate prepare stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d118_p1()
begin
  prepare stmt_drop from "drop table if exists t1";
  execute stmt_drop;
  prepare stmt from "create table t1 (a int)";
  execute stmt;
  insert into t1 (a) values (1);
  select * from t1;
  prepare stmt_alter from "alter table t1 add (b int)";
  execute stmt_alter;
  insert into t1 (a,b) values (2,1);
  deallocate prepare stmt_alter;
  deallocate prepare stmt;
  deallocate prepare stmt_drop;
end
-- ;

-- from: sp-dynamic.test
create procedure d119_p1()
begin
  set @tab_name=concat("tab_", replace(curdate(), '-', '_'));
  set @drop_sql=concat("drop table if exists ", @tab_name);
  set @create_sql=concat("create table ", @tab_name, " (a int)");
  set @insert_sql=concat("insert into ", @tab_name, " values (1), (2), (3)");
  set @select_sql=concat("select * from ", @tab_name); 
  select @tab_name;
  select @drop_sql;
  select @create_sql;
  select @insert_sql;
  select @select_sql;
  prepare stmt_drop from @drop_sql;
  execute stmt_drop;
  prepare stmt from @create_sql;
  execute stmt;
  prepare stmt from @insert_sql;
  execute stmt;
  prepare stmt from @select_sql;
  execute stmt;
  execute stmt_drop;
  deallocate prepare stmt;
  deallocate prepare stmt_drop;
end
-- ;

-- from: sp-dynamic.test
create procedure d120_p1()
begin
  prepare stmt_drop from "drop table if exists t1";
  execute stmt_drop;
  prepare stmt from "create table t1 (a int)";
  execute stmt;
  deallocate prepare stmt;
  deallocate prepare stmt_drop;
end
-- ;

-- from: sp-dynamic.test
create procedure d121_p1()
begin
  prepare stmt_drop from "drop table if exists t1";
  execute stmt_drop;
  prepare stmt from "create table t1 (a int)";
  execute stmt;
  deallocate prepare stmt;
  deallocate prepare stmt_drop;
end
-- ;
create function d121_f1(a int) returns int
begin
  call d121_p1();
  return 1;
end
-- ;

-- from: sp-dynamic.test
create procedure d122_p1()
begin
  drop table if exists t1;
  create table t1 (id integer not null primary key,
                   name varchar(20) not null);
  insert into t1 (id, name) values (1, 'aaa'), (2, 'bbb'), (3, 'ccc');
  prepare stmt from "select name from t1";
  execute stmt;
  select name from t1;
  execute stmt;
  prepare stmt from
    "select name from t1 where name=(select name from t1 where id=2)";
  execute stmt;
  select name from t1 where name=(select name from t1 where id=2);
  execute stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d123_p1()
begin
  execute stmt;
  deallocate prepare stmt;
end
-- ;

-- from: sp-dynamic.test
SET SESSION sql_mode = ''
-- ;
create procedure d124_p1()
begin
  declare a char(10);
  set a="sp-variable";
  set @a="mysql-variable";
  prepare stmt from "select 'dynamic sql:', @a, a";
  execute stmt;
end
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-dynamic.test
create procedure d125_p1()
begin
  prepare stmt from 'select ? as a';
  execute stmt using @a;
end
-- ;

-- from: sp-dynamic.test
create procedure d127_p1() execute stmt
-- ;

-- from: sp-dynamic.test
create procedure d128_p1()
begin
  prepare stmt from 'select 1 A';
  execute stmt;
end
-- ;

-- from: sp-dynamic.test
create procedure d129_p1 (a int) language sql deterministic
begin
  declare rsql varchar(100);
  drop table if exists t1, t2;
  set @rsql= "create table t1 (a int)";
  select @rsql;
  prepare pst from @rsql;
  execute pst;
  set @rsql= null;
  set @rsql= "create table t2 (a int)";
  select @rsql;
  prepare pst from @rsql;
  execute pst;
  drop table if exists t1, t2;
end
-- ;

-- from: view_alias.test
CREATE VIEW d130_v1 AS SELECT '0000000000 1111111111 2222222222 3333333333 4444444444 5555555555'
-- ;

-- from: view_alias.test
CREATE VIEW d131_v1 AS SELECT 'c1', 'c2 ', ' c3', ' c4 '
-- ;

-- from: view_alias.test
CREATE VIEW d132_v1 AS SELECT 'c1', 'c2 ', ' c3', ' c4 ', 'Name_exp_2'
-- ;

-- from: view_alias.test
CREATE VIEW d133_v1 AS SELECT (SELECT ' c1 ')
-- ;

-- from: view_alias.test
CREATE TABLE d134_t1(a INT)
-- ;
CREATE TABLE d134_t2 LIKE d134_t1
-- ;
CREATE VIEW d134_v1 AS SELECT a FROM d134_t1 WHERE EXISTS (SELECT 1 FROM d134_t2 AS b WHERE b.a = 0)
-- ;

-- from: view_alias.test
CREATE TABLE d135_t1(a INT)
-- ;
CREATE TABLE d135_t2 LIKE d135_t1
-- ;
CREATE VIEW d135_v1 AS SELECT a FROM d135_t1 WHERE EXISTS (SELECT a AS alias FROM d135_t1 GROUP BY alias)
-- ;

-- from: view_alias.test
CREATE TABLE d136_t1(a INT)
-- ;
CREATE TABLE d136_t2 LIKE d136_t1
-- ;
CREATE VIEW d136_v1 AS SELECT a FROM d136_t1 WHERE EXISTS (SELECT '  a   ' AS alias FROM d136_t1 GROUP BY alias)
-- ;

-- from: view_alias.test
create view d137_v1 as select interval(55,10) as my_col
-- ;

-- from: sp-code.test
create procedure d138_empty()
begin
end
-- ;

-- from: sp-code.test
create function d139_almost_empty()
    returns int
  return 0
-- ;

-- from: sp-code.test
create procedure d140_code_sample(x int, out err int, out nulls int)
begin
  declare count int default 0;

  set nulls = 0;
  begin
    declare c cursor for select name from t1;
    declare exit handler for not found close c;

    open c;
    loop
      begin
        declare n varchar(20);
        declare continue handler for sqlexception set err=1;

        fetch c into n;
        if isnull(n) then
          set nulls = nulls + 1;
	else
          set count = count + 1;
          update t2 set idx = count where name=n;
        end if;
      end;
    end loop;
  end;
  select t.name, t.idx from t2 t order by idx asc;
end
-- ;

-- from: sp-code.test
create procedure d141_sudoku_solve(p_naive boolean, p_all boolean)
  deterministic
  modifies sql data
begin
  drop temporary table if exists sudoku_work, sudoku_schedule;

  create temporary table sudoku_work
  (
    row smallint not null,
    col smallint not null,
    dig smallint not null,
    cnt smallint,
    key using btree (cnt),
    key using btree (row),
    key using btree (col),
    unique key using hash (row,col)
  );

  create temporary table sudoku_schedule
  (
    idx int not null auto_increment primary key,
    row smallint not null,
    col smallint not null
  );

  call sudoku_init();

  if p_naive then
    update sudoku_work set cnt = 0 where dig = 0;
  else
    call sudoku_count();
  end if;
  insert into sudoku_schedule (row,col)
    select row,col from sudoku_work where cnt is not null order by cnt desc;

  begin
    declare v_scounter bigint default 0;
    declare v_i smallint default 1;
    declare v_dig smallint;
    declare v_schedmax smallint;

    select count(*) into v_schedmax from sudoku_schedule;

   more: 
    loop
    begin
      declare v_tcounter bigint default 0;

     sched:
      while v_i <= v_schedmax do
      begin
        declare v_row, v_col smallint;

        select row,col into v_row,v_col from sudoku_schedule where v_i = idx;

        select dig into v_dig from sudoku_work
          where v_row = row and v_col = col;

        case v_dig
        when 0 then
          set v_dig = 1;
          update sudoku_work set dig = 1
            where v_row = row and v_col = col;
        when 9 then
          if v_i > 0 then
            update sudoku_work set dig = 0
              where v_row = row and v_col = col;
            set v_i = v_i - 1;
            iterate sched;
          else
            select v_scounter as 'Solutions';
            leave more;
          end if;
        else
          set v_dig = v_dig + 1;
          update sudoku_work set dig = v_dig
            where v_row = row and v_col = col;
        end case;

        set v_tcounter = v_tcounter + 1;
        if not sudoku_digit_ok(v_row, v_col, v_dig) then
          iterate sched;
        end if;
        set v_i = v_i + 1;
      end;
      end while sched;

      select dig from sudoku_work;
      select v_tcounter as 'Tests';
      set v_scounter = v_scounter + 1;

      if p_all and v_i > 0 then
        set v_i = v_i - 1;
      else
        leave more;
      end if;
    end;
    end loop more;
  end;

  drop temporary table sudoku_work, sudoku_schedule;
end
-- ;

-- from: sp-code.test
CREATE PROCEDURE d142_proc_19194_simple(i int)
BEGIN
  DECLARE str CHAR(10);

  CASE i
    WHEN 1 THEN SET str="1";
    WHEN 2 THEN SET str="2";
    WHEN 3 THEN SET str="3";
    ELSE SET str="unknown";
  END CASE;

  SELECT str;
END
-- ;
CREATE PROCEDURE d142_proc_19194_searched(i int)
BEGIN
  DECLARE str CHAR(10);

  CASE
    WHEN i=1 THEN SET str="1";
    WHEN i=2 THEN SET str="2";
    WHEN i=3 THEN SET str="3";
    ELSE SET str="unknown";
  END CASE;

  SELECT str;
END
-- ;
CREATE PROCEDURE d142_proc_19194_nested_1(i int, j int)
BEGIN
  DECLARE str_i CHAR(10);
  DECLARE str_j CHAR(10);

  CASE i
    WHEN 10 THEN SET str_i="10";
    WHEN 20 THEN
    BEGIN
      set str_i="20";
      CASE
        WHEN j=1 THEN SET str_j="1";
        WHEN j=2 THEN SET str_j="2";
        WHEN j=3 THEN SET str_j="3";
      ELSE SET str_j="unknown";
      END CASE;
      select "i was 20";
    END;
    WHEN 30 THEN SET str_i="30";
    WHEN 40 THEN SET str_i="40";
    ELSE SET str_i="unknown";
  END CASE;

  SELECT str_i, str_j;
END
-- ;
CREATE PROCEDURE d142_proc_19194_nested_2(i int, j int)
BEGIN
  DECLARE str_i CHAR(10);
  DECLARE str_j CHAR(10);

  CASE
    WHEN i=10 THEN SET str_i="10";
    WHEN i=20 THEN
    BEGIN
      set str_i="20";
      CASE j
        WHEN 1 THEN SET str_j="1";
        WHEN 2 THEN SET str_j="2";
        WHEN 3 THEN SET str_j="3";
      ELSE SET str_j="unknown";
      END CASE;
      select "i was 20";
    END;
    WHEN i=30 THEN SET str_i="30";
    WHEN i=40 THEN SET str_i="40";
    ELSE SET str_i="unknown";
  END CASE;

  SELECT str_i, str_j;
END
-- ;
CREATE PROCEDURE d142_proc_19194_nested_3(i int, j int)
BEGIN
  DECLARE str_i CHAR(10);
  DECLARE str_j CHAR(10);

  CASE i
    WHEN 10 THEN SET str_i="10";
    WHEN 20 THEN
    BEGIN
      set str_i="20";
      CASE j
        WHEN 1 THEN SET str_j="1";
        WHEN 2 THEN SET str_j="2";
        WHEN 3 THEN SET str_j="3";
      ELSE SET str_j="unknown";
      END CASE;
      select "i was 20";
    END;
    WHEN 30 THEN SET str_i="30";
    WHEN 40 THEN SET str_i="40";
    ELSE SET str_i="unknown";
  END CASE;

  SELECT str_i, str_j;
END
-- ;
CREATE PROCEDURE d142_proc_19194_nested_4(i int, j int)
BEGIN
  DECLARE str_i CHAR(10);
  DECLARE str_j CHAR(10);

  CASE
    WHEN i=10 THEN SET str_i="10";
    WHEN i=20 THEN
    BEGIN
      set str_i="20";
      CASE
        WHEN j=1 THEN SET str_j="1";
        WHEN j=2 THEN SET str_j="2";
        WHEN j=3 THEN SET str_j="3";
      ELSE SET str_j="unknown";
      END CASE;
      select "i was 20";
    END;
    WHEN i=30 THEN SET str_i="30";
    WHEN i=40 THEN SET str_i="40";
    ELSE SET str_i="unknown";
  END CASE;

  SELECT str_i, str_j;
END
-- ;

-- from: sp-code.test
CREATE PROCEDURE d143_p1() CREATE INDEX idx ON t1 (c1)
-- ;

-- from: sp-code.test
create table d144_t1(a int unique)
-- ;
create procedure d144_proc_26977_broken(v int)
begin
  declare i int default 5;

  declare continue handler for sqlexception
  begin
    select 'caught something';
    retry:
    while i > 0 do
      begin
        set i = i - 1;
        select 'looping', i;
      end;
    end while retry;
  end;

  select 'do something';
  insert into d144_t1 values (v);
  select 'do something again';
  insert into d144_t1 values (v);
end
-- ;
create procedure d144_proc_26977_works(v int)
begin
  declare i int default 5;

  declare continue handler for sqlexception
  begin
    select 'caught something';
    retry:
    while i > 0 do
      begin
        set i = i - 1;
        select 'looping', i;
      end;
    end while retry;
    select 'optimizer: keep hreturn';
  end;

  select 'do something';
  insert into d144_t1 values (v);
  select 'do something again';
  insert into d144_t1 values (v);
end
-- ;

-- from: sp-code.test
create procedure d145_proc_33618_h(num int)
begin
  declare count1 int default '0';
  declare vb varchar(30);
  declare last_row int;
        
  while(num>=1) do
    set num=num-1;
    begin
      declare cur1 cursor for select `a` from t_33618;
      declare continue handler for not found set last_row = 1;
      set last_row:=0;
      open cur1;
      rep1:
      repeat
        begin
          declare exit handler for 1062 begin end;
          fetch cur1 into vb;
          if (last_row = 1) then
            ## should generate a hpop instruction here
            leave rep1;
          end if;
        end;
        until last_row=1
      end repeat;
      close cur1;
    end;
  end while;
end
-- ;
create procedure d145_proc_33618_c(num int)
begin
  declare count1 int default '0';
  declare vb varchar(30);
  declare last_row int;
        
  while(num>=1) do
    set num=num-1;
    begin
      declare cur1 cursor for select `a` from t_33618;
      declare continue handler for not found set last_row = 1;
      set last_row:=0;
      open cur1;
      rep1:
      repeat
        begin
          declare cur2 cursor for select `b` from t_33618;
          fetch cur1 into vb;
          if (last_row = 1) then
            ## should generate a cpop instruction here
            leave rep1;
          end if;
        end;
        until last_row=1
      end repeat;
      close cur1;
    end;
  end while;
end
-- ;

-- from: sp-code.test
create procedure d146_p_20906_a() SET @a=@a+1, @b=@b+1
-- ;
create procedure d146_p_20906_b() SET @a=@a+1, @b=@b+1, @c=@c+1
-- ;

-- from: sp-code.test
CREATE PROCEDURE d147_p1() 
BEGIN 
  DECLARE dummy int default 0;

  CASE 12 
    WHEN 12 
    THEN SET dummy = 0;
  END CASE;
END
-- ;

-- from: sp-code.test
CREATE TABLE d148_t1(a INT)
-- ;
INSERT INTO d148_t1 VALUES (1), (2), (3)
-- ;
CREATE PROCEDURE d148_p1()
BEGIN
  DECLARE c CURSOR FOR SELECT a FROM d148_t1;

  OPEN c;
  
  BEGIN
    DECLARE v INT;

    DECLARE CONTINUE HANDLER FOR SQLWARNING
    BEGIN
      SELECT "Warning found!";
      SHOW WARNINGS;
    END;

    DECLARE EXIT HANDLER FOR NOT FOUND
    BEGIN
      SELECT "End of Result Set found!";
      SHOW WARNINGS;
    END;

    WHILE TRUE DO
      FETCH c INTO v;
    END WHILE;
  END;

  CLOSE c;

  SELECT a INTO @foo FROM d148_t1 LIMIT 1; # Clear warning stack
END
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE FUNCTION d149_testf_bug11763507() RETURNS INT
BEGIN
    RETURN 0;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d149_testp_bug11763507()
BEGIN
    SELECT "PROCEDURE d149_testp_bug11763507";
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d150_p1()
BEGIN
  DECLARE a VARCHAR(10) CHARACTER SET utf8;
  SET a='ä';
  SELECT a, 'ä' AS b;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE TABLE d151_t1 (a INT, b TEXT)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d151_p1(a ROW TYPE OF d151_t1, OUT b ROW TYPE OF d151_t1)
BEGIN
  SET a.a = 100;
  SET a.b = 'aaa';
  SET b.a = 200;
  SET b.b = 'bbb';
  SET a = b;
  SET b = a;
  SET a.a = b.a;
  SET b.a = a.a;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d152_p1()
BEGIN
  FOR i IN 1..3
  DO
    SELECT i;
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d153_p1()
BEGIN
  fori:
  FOR i IN 1..3
  DO
    forj:
    FOR j IN 1..3
    DO
      IF i = 3 THEN
        LEAVE fori;
      END IF;
      IF j = 3 THEN
        LEAVE forj;
      END IF;
      SELECT i,j;
    END FOR;
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d154_p1()
BEGIN
  DECLARE cur0 CURSOR FOR SELECT 10 AS a, 'b0' AS b;
  DECLARE cur1 CURSOR FOR SELECT 10 AS a, 'b0' AS b;
  DECLARE cur2 CURSOR FOR SELECT 10 AS a, 'b0' AS b;
  FOR rec1 IN cur1
  DO
    SELECT rec1.a, rec1.b;
    SET rec1.a= 11;
    SET rec1.b= 'b1';
    SELECT rec1.a, rec1.b;
  END FOR;
  FOR rec0 IN cur0
  DO
    SET rec0.a= 10;
    SET rec0.b='b0';
  END FOR;
  FOR rec2 IN cur2
  DO
    SET rec2.a= 10;
    SET rec2.b='b0';
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d155_p1()
BEGIN
  DECLARE cur0 CURSOR FOR SELECT 10 AS a, 'b0' AS b;
  FOR rec0 IN cur0
  DO
    BEGIN
      DECLARE cur1 CURSOR FOR SELECT 11 AS a, 'b1' AS b;
      SET rec0.a= 11;
      SET rec0.b= 'b0';
      FOR rec1 IN cur1
      DO
        SET rec1.a= 11;
        SET rec1.b= 'b1';
        BEGIN
          DECLARE cur2 CURSOR FOR SELECT 12 AS a, 'b2' AS b;
          FOR rec2 IN cur2
          DO
            SET rec2.a=12;
            SET rec2.b='b2';
          END FOR;
        END;
      END FOR;
    END;
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d156_p1()
BEGIN
  FOR rec1 IN (SELECT 11 AS a, 'b1' AS b)
  DO
    SELECT rec1.a, rec1.b;
    SET rec1.a= 11;
    SET rec1.b= 'b1';
    SELECT rec1.a, rec1.b;
  END FOR;
  FOR rec0 IN (SELECT 10 AS a, 'b0' AS b)
  DO
    SET rec0.a= 10;
    SET rec0.b='b0';
  END FOR;
  FOR rec2 IN (SELECT 12 AS a, 'b2' AS b)
  DO
    SET rec2.a= 10;
    SET rec2.b='b0';
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE PROCEDURE d157_p1()
BEGIN
  FOR rec0 IN (SELECT 10 AS a, 'b0' AS b)
  DO
    SET rec0.a= 11;
    SET rec0.b= 'b0';
    FOR rec1 IN (SELECT 11 AS a, 'b1' AS b)
    DO
      SET rec1.a= 11;
      SET rec1.b= 'b1';
      FOR rec2 IN (SELECT 12 AS a, 'b2' AS b)
      DO
        SET rec2.a=12;
        SET rec2.b='b2';
      END FOR;
    END FOR;
  END FOR;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d158_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
  FOR _row IN (SELECT '' AS a) DO
    SELECT 'start of outerLoop';
    innerLoop: LOOP
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _row.a = 'v1'
      THEN
        SELECT 'start of THEN block';
        ITERATE innerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END LOOP;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d159_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
outerLoop:
  FOR _row IN (SELECT '' AS a) DO
    SELECT 'start of outerLoop';
    innerLoop: LOOP
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _row.a = 'v1'
      THEN
        SELECT 'start of IF/v1/THEN block';
        ITERATE innerLoop;
      END IF;
      IF _row.a = 'v2'
      THEN
        SELECT 'start of IF/v2/THEN block';
        ITERATE outerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END LOOP;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d160_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
  FOR _index IN 1..10 DO
    SELECT 'start of outerLoop';
    innerLoop: LOOP
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _index = 1
      THEN
        SELECT 'start of THEN block';
        ITERATE innerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END LOOP;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d161_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
outerLoop:
  FOR _index IN 1..10 DO
    SELECT 'start of outerLoop';
    innerLoop: LOOP
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _index = 1
      THEN
        SELECT 'start of IF/1/THEN block';
        ITERATE innerLoop;
      END IF;
      IF _index = 2
      THEN
        SELECT 'start of IF/2/THEN block';
        ITERATE outerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END LOOP;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d162_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
  FOR _index_outer IN 1..10 DO
    SELECT 'start of outerLoop';
    innerLoop:
    FOR _index_inner IN 1..10 DO
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _index_inner = 1
      THEN
        SELECT 'start of IF/1/THEN block';
        ITERATE innerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END FOR;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d163_p1()
BEGIN
  DECLARE loopDone TINYINT DEFAULT FALSE;
outerLoop:
  FOR _index_outer IN 1..10 DO
    SELECT 'start of outerLoop';
    innerLoop:
    FOR _index_inner IN 1..10 DO
      SELECT 'start of innerLoop';
      IF loopDone THEN
        LEAVE innerLoop;
      END IF;
      SET loopDone = TRUE;
      IF _index_inner = 1
      THEN
        SELECT 'start of IF/1/THEN block';
        ITERATE innerLoop;
      END IF;
      IF _index_inner = 2
      THEN
        SELECT 'start of IF/2/THEN block';
        ITERATE outerLoop;
      END IF;
      SELECT 'end of innerLoop';
    END FOR;
    SELECT 'end of outerLoop';
  END FOR;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-code.test
SET SESSION sql_mode = ''
-- ;
CREATE OR REPLACE PROCEDURE d164_p1()
BEGIN
  SET GLOBAL max_allowed_packet=16000000, max_error_count=60;
  SELECT @@GLOBAL.max_allowed_packet, @@GLOBAL.max_error_count;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d165_p1()
BEGIN
  DECLARE v1 BIT;
  DECLARE v2 BIT(1);
  DECLARE v3 BIT(3) DEFAULT b'101';
  DECLARE v4 BIT(64) DEFAULT 0x5555555555555555;
  DECLARE v5 BIT(3);
  DECLARE v6 BIT(64);
  DECLARE v7 BIT(8) DEFAULT 128;
  DECLARE v8 BIT(8) DEFAULT '128';
  DECLARE v9 BIT(8) DEFAULT ' 128';
  DECLARE v10 BIT(8) DEFAULT 'x 128';

  SET v1 = v4;
  SET v2 = 0;
  SET v5 = v4; # check overflow
  SET v6 = v3; # check padding

  SELECT HEX(v1);
  SELECT HEX(v2);
  SELECT HEX(v3);
  SELECT HEX(v4);
  SELECT HEX(v5);
  SELECT HEX(v6);
  SELECT HEX(v7);
  SELECT HEX(v8);
  SELECT HEX(v9);
  SELECT HEX(v10);
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d166_t1(log_msg VARCHAR(1024))
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d166_p1(arg VARCHAR(255))
BEGIN
  INSERT INTO d166_t1 VALUES('d166_p1: step1');

  CASE arg * 10
    WHEN 10 * 10 THEN
      INSERT INTO d166_t1 VALUES('d166_p1: case1: on 10');
    WHEN 10 * 10 + 10 * 10 THEN
      BEGIN
        CASE arg / 10
          WHEN 1 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case1: case2: on 1');
          WHEN 2 THEN
            BEGIN
              DECLARE i TINYINT DEFAULT 10;

              WHILE i > 0 DO
                INSERT INTO d166_t1 VALUES(CONCAT('d166_p1: case1: case2: loop: i: ', i));
                
                CASE MOD(i, 2)
                  WHEN 0 THEN
                    INSERT INTO d166_t1 VALUES('d166_p1: case1: case2: loop: i is even');
                  WHEN 1 THEN
                    INSERT INTO d166_t1 VALUES('d166_p1: case1: case2: loop: i is odd');
                  ELSE
                    INSERT INTO d166_t1 VALUES('d166_p1: case1: case2: loop: ERROR');
                END CASE;
                    
                SET i = i - 1;
              END WHILE;
            END;
          ELSE
            INSERT INTO d166_t1 VALUES('d166_p1: case1: case2: ERROR');
        END CASE;

        CASE arg
          WHEN 10 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case1: case3: on 10');
          WHEN 20 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case1: case3: on 20');
          ELSE
            INSERT INTO d166_t1 VALUES('d166_p1: case1: case3: ERROR');
        END CASE;
      END;
    ELSE
      INSERT INTO d166_t1 VALUES('d166_p1: case1: ERROR');
  END CASE;

  CASE arg * 10
    WHEN 10 * 10 THEN
      INSERT INTO d166_t1 VALUES('d166_p1: case4: on 10');
    WHEN 10 * 10 + 10 * 10 THEN
      BEGIN
        CASE arg / 10
          WHEN 1 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case4: case5: on 1');
          WHEN 2 THEN
            BEGIN
              DECLARE i TINYINT DEFAULT 10;

              WHILE i > 0 DO
                INSERT INTO d166_t1 VALUES(CONCAT('d166_p1: case4: case5: loop: i: ', i));
                
                CASE MOD(i, 2)
                  WHEN 0 THEN
                    INSERT INTO d166_t1 VALUES('d166_p1: case4: case5: loop: i is even');
                  WHEN 1 THEN
                    INSERT INTO d166_t1 VALUES('d166_p1: case4: case5: loop: i is odd');
                  ELSE
                    INSERT INTO d166_t1 VALUES('d166_p1: case4: case5: loop: ERROR');
                END CASE;
                    
                SET i = i - 1;
              END WHILE;
            END;
          ELSE
            INSERT INTO d166_t1 VALUES('d166_p1: case4: case5: ERROR');
        END CASE;

        CASE arg
          WHEN 10 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case4: case6: on 10');
          WHEN 20 THEN
            INSERT INTO d166_t1 VALUES('d166_p1: case4: case6: on 20');
          ELSE
            INSERT INTO d166_t1 VALUES('d166_p1: case4: case6: ERROR');
        END CASE;
      END;
    ELSE
      INSERT INTO d166_t1 VALUES('d166_p1: case4: ERROR');
  END CASE;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d166_p2()
BEGIN
  DECLARE i TINYINT DEFAULT 3;

  WHILE i > 0 DO
    IF MOD(i, 2) = 0 THEN
      SET @_test_session_var = 10;
    ELSE
      SET @_test_session_var = 'test';
    END IF;

    CASE @_test_session_var
      WHEN 10 THEN
        INSERT INTO d166_t1 VALUES('d166_p2: case: numerical type');
      WHEN 'test' THEN
        INSERT INTO d166_t1 VALUES('d166_p2: case: string type');
      ELSE
        INSERT INTO d166_t1 VALUES('d166_p2: case: ERROR');
    END CASE;

    SET i = i - 1;
  END WHILE;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d167_t1(col BIGINT UNSIGNED)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
INSERT INTO d167_t1 VALUE(18446744073709551614)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d167_p1(IN arg BIGINT UNSIGNED)
BEGIN
  SELECT arg;
  SELECT * FROM d167_t1;
  SELECT * FROM d167_t1 WHERE col = arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d168_p1(x VARCHAR(10), y CHAR(3)) READS SQL DATA
BEGIN
  SELECT x, y;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d169_p1(x DATETIME)
BEGIN
  CREATE TABLE t1 SELECT x;
  SHOW CREATE TABLE t1;
  DROP TABLE t1;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d170_t1(b BIT(1))
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
INSERT INTO d170_t1(b) VALUES(b'0'), (b'1')
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d170_p1()
BEGIN
  SELECT HEX(b),
    b = 0,
    b = FALSE,
    b IS FALSE,
    b = 1,
    b = TRUE,
    b IS TRUE
  FROM d170_t1;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d170_p2()
BEGIN
  DECLARE vb BIT(1);
  SELECT b INTO vb FROM d170_t1 WHERE b = 0;

  SELECT HEX(vb),
    vb = 0,
    vb = FALSE,
    vb IS FALSE,
    vb = 1,
    vb = TRUE,
    vb IS TRUE;

  SELECT b INTO vb FROM d170_t1 WHERE b = 1;

  SELECT HEX(vb),
    vb = 0,
    vb = FALSE,
    vb IS FALSE,
    vb = 1,
    vb = TRUE,
    vb IS TRUE;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d171_table_12976_a (val bit(1))
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d171_table_12976_b(
  appname varchar(15),
  emailperm bit not null default 1,
  phoneperm bit not null default 0)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
insert into d171_table_12976_b values ('A', b'1', b'1'), ('B', b'0', b'0')
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d171_proc_12976_a()
BEGIN
  declare localvar bit(1);
  SELECT val INTO localvar FROM d171_table_12976_a;
  SELECT coalesce(localvar, 1)+1, coalesce(val, 1)+1 FROM d171_table_12976_a;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d171_proc_12976_b(
  name varchar(15),
  out ep bit,
  out msg varchar(10))
BEGIN
  SELECT emailperm into ep FROM d171_table_12976_b where (appname = name);
  IF ep is true THEN
    SET msg = 'True';
  ELSE
    SET msg = 'False';
  END IF;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p1()
BEGIN
  DECLARE v TINYINT DEFAULT 1e200;
  SELECT v;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p2()
BEGIN
  DECLARE v DECIMAL(5) DEFAULT 1e200;
  SELECT v;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p3()
BEGIN
  DECLARE v CHAR(5) DEFAULT 'abcdef';
  SELECT v LIKE 'abc___';
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p4(arg VARCHAR(2))
BEGIN
    DECLARE var VARCHAR(1);
    SET var := arg;
    SELECT arg, var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p5(arg CHAR(2))
BEGIN
    DECLARE var CHAR(1);
    SET var := arg;
    SELECT arg, var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'traditional'
-- ;
CREATE PROCEDURE d172_p6(arg DECIMAL(2))
BEGIN
    DECLARE var DECIMAL(1);
    SET var := arg;
    SELECT arg, var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d173_p1 (arg DECIMAL(64,2))
BEGIN
  DECLARE var DECIMAL(64,2);

  SET var = arg;
  SELECT var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d174_f1(arg TINYINT UNSIGNED) RETURNS TINYINT
BEGIN
  RETURN arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'traditional'
-- ;
CREATE FUNCTION d175_f1(arg TINYINT UNSIGNED) RETURNS TINYINT
BEGIN
  RETURN arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d176_f1(arg MEDIUMINT) RETURNS MEDIUMINT
BEGIN
  RETURN arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'traditional'
-- ;
CREATE FUNCTION d177_f1(arg MEDIUMINT) RETURNS MEDIUMINT
BEGIN
  RETURN arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d178_t1(col VARCHAR(255))
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
INSERT INTO d178_t1(col) VALUES('Hello, world!')
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d178_p1()
BEGIN
  DECLARE sp_var INTEGER;

  SELECT col INTO sp_var FROM d178_t1 LIMIT 1;
  SET @user_var = sp_var;

  SELECT sp_var;
  SELECT @user_var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d179_t1(txt VARCHAR(255))
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d179_f1(arg VARCHAR(255)) RETURNS VARCHAR(255)
BEGIN
  DECLARE v1 VARCHAR(255);
  DECLARE v2 VARCHAR(255);

  SET v1 = CONCAT(LOWER(arg), UPPER(arg));
  SET v2 = CONCAT(LOWER(v1), UPPER(v1));

  INSERT INTO d179_t1 VALUES(v1), (v2);

  RETURN CONCAT(LOWER(arg), UPPER(arg));
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d180_p1(arg ENUM('a', 'b'))
BEGIN
  SELECT arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d180_p2(arg ENUM('a', 'b'))
BEGIN
  DECLARE var ENUM('c', 'd') DEFAULT arg;

  SELECT arg, var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d180_f1(arg ENUM('a', 'b')) RETURNS ENUM('c', 'd')
BEGIN
  RETURN arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d181_p1(arg VARCHAR(255))
BEGIN
  SELECT CHARSET(arg);
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d181_p2(arg VARCHAR(255) CHARACTER SET UTF8)
BEGIN
    SELECT CHARSET(arg);
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d182_p1(arg1 BINARY(2), arg2 VARBINARY(2))
BEGIN
  DECLARE var1 BINARY(2) DEFAULT 0x41;
  DECLARE var2 VARBINARY(2) DEFAULT 0x42;

  SELECT HEX(arg1), HEX(arg2);
  SELECT HEX(var1), HEX(var2);
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE TABLE d183_t1(col1 TINYINT, col2 TINYINT)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
INSERT INTO d183_t1 VALUES(1, 2), (11, 12)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d183_p1(arg TINYINT)
BEGIN
  SELECT arg;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d184_p1(x VARCHAR(50))
BEGIN
  SET x = SUBSTRING(x, 1, 3);
  SELECT x;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d184_f1(x VARCHAR(50)) RETURNS VARCHAR(50)
BEGIN
  RETURN SUBSTRING(x, 1, 3);
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE FUNCTION d185_f1() RETURNS VARCHAR(20000)
BEGIN
  DECLARE var VARCHAR(2000);

  SET var = '';
  SET var = CONCAT(var, 'abc');
  SET var = CONCAT(var, '');

  RETURN var;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d186_p1()
BEGIN
  DECLARE v_char VARCHAR(255);
  DECLARE v_text TEXT DEFAULT '';

  SET v_char = 'abc';

  SET v_text = v_char;

  SET v_char = 'def';

  SET v_text = concat(v_text, '|', v_char);

  SELECT v_text;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d187_bug27415_text_test(entity_id_str_in text)
BEGIN
    DECLARE str_remainder text;

    SET str_remainder = entity_id_str_in;

    select 'before substr', str_remainder;
    SET str_remainder = SUBSTRING(str_remainder, 3);
    select 'after substr', str_remainder;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d187_bug27415_text_test2(entity_id_str_in text)
BEGIN
    DECLARE str_remainder text;
    DECLARE str_remainder2 text;
 
    SET str_remainder2 = entity_id_str_in;
    select 'before substr', str_remainder2;
    SET str_remainder = SUBSTRING(str_remainder2, 3);
    select 'after substr', str_remainder;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
create function d188_f1() returns int 
begin
 if @a=1 then set @b='abc';
 else set @b=1;
 end if;
 set @a=1;
 return 0;
end
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
create table d188_t1 (a int)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
insert into d188_t1 (a) values (1), (2)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d189_ctest()
BEGIN
  DECLARE i CHAR(16);
  DECLARE j INT;
  SET i= 'string';
  SET j= 1 + i;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d190_vctest()
BEGIN
  DECLARE i VARCHAR(16);
  DECLARE j INT;
  SET i= 'string';
  SET j= 1 + i;
END
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d191_p1()
BEGIN
  DECLARE i8  TINYINT;
  DECLARE i16 SMALLINT;
  DECLARE i32 INT;
  DECLARE i64 BIGINT;
  DECLARE f   FLOAT;
  DECLARE d   DOUBLE;
  DECLARE b8  BIT(8);
  DECLARE y   YEAR;
  DECLARE t1  TINYTEXT;
  DECLARE t2  TEXT;
  DECLARE t3  MEDIUMTEXT;
  DECLARE t4  LONGTEXT;
  CREATE TABLE t1 AS SELECT i8, i16, i32, i64, f, d, b8, y, t1, t2, t3, t4;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d192_p1()
BEGIN
  DECLARE a YEAR;
  CREATE OR REPLACE TABLE t1 AS SELECT a;
  SHOW CREATE TABLE t1;
  DROP TABLE t1;
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d193_p1()
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(SELECT * FROM t1 LEFT OUTER JOIN t2 USING (c1));
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d194_p1()
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(SELECT * FROM t1 LEFT OUTER JOIN t2 ON (c1=c2));
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d195_p1()
BEGIN
  DECLARE a INT;
  SET a=(SELECT 1 GROUP BY unknown_ident);
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d196_p1()
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(SELECT 1 HAVING unknown_ident);
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d197_p1()
BEGIN
  DECLARE a INT;
  SET a=(SELECT 1 ORDER BY unknown_ident);
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d198_p1()
BEGIN
  DECLARE a INT;
  -- c2 does not have a table on its level
  -- but it can be a field of a table on the uppder level, i.e. t1
  SET a=(SELECT c1+(SELECT c2) FROM t1);
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d199_p1(a INT)
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(VALUES(1) ORDER BY unknown_ident);
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d200_p1(a INT)
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(VALUES((SELECT c1 FROM t1)));
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: sp-vars.test
SET SESSION sql_mode = 'ansi'
-- ;
CREATE PROCEDURE d201_p1(a INT)
BEGIN
  DECLARE res INT DEFAULT 0;
  SET res=(VALUES(1),((SELECT c1 FROM t1)));
END;
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: view.test
create table d203_t1 (a int, b int)
-- ;
insert into d203_t1 values (1,2), (1,3), (2,4), (2,5), (3,10)
-- ;
create view d203_v1 (c) as select b+1 from d203_t1
-- ;

-- from: view.test
create table d207_t1 (a int)
-- ;
insert into d207_t1 values (1), (2), (3)
-- ;
create view d207_v1 (a) as select a+1 from d207_t1
-- ;
create view d207_v2 (a) as select a-1 from d207_t1
-- ;

-- from: view.test
create table d208_t1 (a int)
-- ;
insert into d208_t1 values (1), (2), (3), (1), (2), (3)
-- ;
create view d208_v1 as select distinct a from d208_t1
-- ;

-- from: view.test
create table d209_t1 (a int)
-- ;
create view d209_v1 as select a from d209_t1 WITH CHECK OPTION
-- ;
create view d209_v2 as select a from d209_t1 WITH CASCADED CHECK OPTION
-- ;
create view d209_v3 as select a from d209_t1 WITH LOCAL CHECK OPTION
-- ;

-- from: view.test
create table d221_t1 (a int, primary key(a))
-- ;
insert into d221_t1 values (1), (2), (3)
-- ;
create view d221_v1 (x) as select a from d221_t1 where a > 1
-- ;

-- from: view.test
create table d222_t1 (a int, primary key(a))
-- ;
insert into d222_t1 values (1), (2), (3), (200)
-- ;
create view d222_v1 (x) as select a from d222_t1 where a > 1
-- ;
create view d222_v2 (y) as select x from d222_v1 where x < 100
-- ;

-- from: view.test
create table d223_t1 (a int, primary key(a))
-- ;
insert into d223_t1 values (1), (2), (3), (200)
-- ;
create ALGORITHM=TEMPTABLE view d223_v1 (x) as select a from d223_t1
-- ;
create view d223_v2 (y) as select x from d223_v1
-- ;

-- from: view.test
create table d224_t1 (a int not null auto_increment, b int not null, primary key(a), unique(b))
-- ;
insert into d224_t1 (b) values (2)
-- ;
create view d224_v1 (x) as select b from d224_t1
-- ;
insert into d224_v1 values (1)
-- ;

-- from: view.test
SET SESSION sql_mode = 'ansi'
-- ;
create table d225_t1 ("a*b" int)
-- ;
SET SESSION sql_mode = DEFAULT
-- ;
SET SESSION sql_mode = 'ansi'
-- ;
create view d225_v1 as select "a*b" from d225_t1
-- ;
SET SESSION sql_mode = DEFAULT
-- ;

-- from: view.test
create table d226_t1 (t_column int)
-- ;
create view d226_v1 as select 'a'
-- ;

-- from: view.test
create table `d227_t1a``b` (col1 char(2))
-- ;
create view d227_v1 as select * from `d227_t1a``b`
-- ;

-- from: view.test
create table `d228_t1a``b` (col1 char(2))
-- ;
create table d228_t1 (col1 char(5),col2 char(5))
-- ;
create view d228_v1 as select * from d228_t1
-- ;

-- from: view.test
create table `d229_t1a``b` (col1 char(2))
-- ;
create table d229_t1 (col1 int,col2 char(22))
-- ;
insert into d229_t1 values(5,'Hello, world of views')
-- ;
create view d229_v1 as select * from d229_t1
-- ;
create view d229_v2 as select * from d229_v1
-- ;

-- from: view.test
create table `d230_t1a``b` (col1 char(2))
-- ;
create table d230_t1 (a int, b int)
-- ;
create view d230_v1 as select a, sum(b) from d230_t1 group by a
-- ;

-- from: view.test
create table `d231_t1a``b` (col1 char(2))
-- ;
create table d231_t1 (col1 char(5),col2 char(5))
-- ;
create view d231_v1 (col1,col2) as select col1,col2 from d231_t1
-- ;
insert into d231_v1 values('s1','p1'),('s1','p2'),('s1','p3'),('s1','p4'),('s2','p1'),('s3','p2'),('s4','p4')
-- ;

-- from: view.test
create table `d232_t1a``b` (col1 char(2))
-- ;
create table d232_t1 (a int)
-- ;
insert into d232_t1 values (1)
-- ;
create view d232_v1 as select a from d232_t1
-- ;

-- from: sp.test
create table d537_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d537_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d537_foo42()
  insert into test.t1 values ("foo", 42)
-- ;

-- from: sp.test
create table d538_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d538_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d538_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d538_empty()
begin
end
-- ;

-- from: sp.test
create table d539_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d539_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d539_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d539_scope(a int, b float)
begin
  declare b int;
  declare c float;

  begin
    declare c int;
  end;
end
-- ;

-- from: sp.test
create table d540_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d540_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d540_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d540_two(x1 char(16), x2 char(16), y int)
begin
  insert into test.t1 values (x1, y);
  insert into test.t1 values (x2, y);
end
-- ;

-- from: sp.test
create table d541_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d541_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d541_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d541_locset(x char(16), y int)
begin
  declare z1, z2 int;
  set z1 = y;
  set z2 = z1+2;
  insert into test.t1 values (x, z2);
end
-- ;

-- from: sp.test
create table d542_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d542_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d542_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d542_setcontext()
begin
  declare data int default 2;

  insert into d542_t1 (id, data) values ("foo", 1);
  replace d542_t1 set data = data, id = "d542_bar";
  update d542_t1 set id = "kaka", data = 3 where d542_t1.data = data;
end
-- ;

-- from: sp.test
create table d543_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d543_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d543_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create table d543_t3 ( d date, i int, f double, s varchar(32) )
-- ;
create procedure d543_nullset()
begin
  declare ld date;
  declare li int;
  declare lf double;
  declare ls varchar(32);

  set ld = null, li = null, lf = null, ls = null;
  insert into d543_t3 values (ld, li, lf, ls);

  insert into d543_t3 (i, f, s) values ((ld is null), 1,    "ld is null"),
                                  ((li is null), 1,    "li is null"),
				  ((li = 0),     null, "li = 0"),
				  ((lf is null), 1,    "lf is null"),
				  ((lf = 0),     null, "lf = 0"),
				  ((ls is null), 1,    "ls is null");
end
-- ;

-- from: sp.test
create table d544_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d544_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d544_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d544_mixset(x char(16), y int)
begin
  declare z int;

  set @z = y, z = 666, max_join_size = 100;
  insert into test.t1 values (x, z);
end
-- ;

-- from: sp.test
create table d545_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d545_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d545_bar(x char(16), y int)
  insert into test.t1 values (x, y)
-- ;
create procedure d545_zip(x char(16), y int)
begin
  declare z int;
  call d545_zap(y, z);
  call d545_bar(x, z);
end
-- ;
create procedure d545_zap(x int, out y int)
begin
  declare z int;
  set z = x+1, y = z;
end
-- ;

-- from: sp.test
create table d546_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d546_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d546_c1(x int)
  call d546_c2("c", x)
-- ;
create procedure d546_c2(s char(16), x int)
  call d546_c3(x, s)
-- ;
create procedure d546_c3(x int, s char(16))
  call d546_c4("level", x, s)
-- ;
create procedure d546_c4(l char(8), x int, s char(16))
  insert into d546_t1 values (concat(l,s), x)
-- ;

-- from: sp.test
create table d547_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d547_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d547_iotest(x1 char(16), x2 char(16), y int)
begin
  call d547_inc2(x2, y);
  insert into test.t1 values (x1, y);
end
-- ;
create procedure d547_inc2(x char(16), y int)
begin
  call d547_inc(y);
  insert into test.t1 values (x, y);
end
-- ;
create procedure d547_inc(inout io int)
  set io = io + 1
-- ;

-- from: sp.test
create table d548_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d548_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d548_inc(inout io int)
  set io = io + 1
-- ;
create procedure d548_incr(inout x int)
  call d548_inc(x)
-- ;

-- from: sp.test
create table d549_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d549_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
create procedure d549_cbv1()
begin
  declare y int default 3;

  call d549_cbv2(y+1, y);
  insert into test.t1 values ("d549_cbv1", y);
end
-- ;
create procedure d549_cbv2(y1 int, inout y2 int)
begin
  set y2 = 4711;
  insert into test.t1 values ("d549_cbv2", y1);
end
-- ;

-- from: sp.test
create table d550_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d550_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d550_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d550_sub1(id char(16), x int)
  insert into test.t1 values (id, x)
-- ;
create procedure d550_sub2(id char(16))
begin
  declare x int;
  set x = (select sum(t.i) from test.t2 t);
  insert into test.t1 values (id, x);
end
-- ;
create function d550_sub3(i int) returns int deterministic
  return i+1
-- ;

-- from: sp.test
create table d551_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d551_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d551_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d551_a0(x int)
while x do
  set x = x-1;
  insert into test.t1 values ("d551_a0", x);
end while
-- ;

-- from: sp.test
create table d552_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d552_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d552_t2 values ("d552_a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d552_a(x int)
while x > 0 do
  set x = x-1;
  insert into test.t1 values ("d552_a", x);
end while
-- ;

-- from: sp.test
create table d553_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d553_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d553_t2 values ("a", 1, 1.1), ("d553_b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d553_b(x int)
repeat
  insert into test.t1 values (repeat("d553_b",3), x);
  set x = x-1;
until x = 0 end repeat
-- ;

-- from: sp.test
create table d554_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d554_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d554_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d554_b2(x int)
repeat(select 1) into outfile 'd554_b2';
  insert into test.t1 values (repeat("d554_b2",3), x);
  set x = x-1;
until x = 0 end repeat
-- ;

-- from: sp.test
create table d555_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d555_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d555_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("d555_c", 3, 1.3)
-- ;
create procedure d555_c(x int)
hmm: while x > 0 do
  insert into test.t1 values ("d555_c", x);
  set x = x-1;
  iterate hmm;
  insert into test.t1 values ("x", x);
end while hmm
-- ;

-- from: sp.test
create table d556_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d556_t2 (
	s   char(16),
        i   int,
	d556_d   double
)
-- ;
insert into d556_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d556_d(x int)
hmm: while x > 0 do
  insert into test.t1 values ("d556_d", x);
  set x = x-1;
  leave hmm;
  insert into test.t1 values ("x", x);
end while
-- ;

-- from: sp.test
create table d557_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d557_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d557_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d557_e(x int)
foo: loop
  if x = 0 then
    leave foo;
  end if;
  insert into test.t1 values ("d557_e", x);
  set x = x-1;
end loop foo
-- ;

-- from: sp.test
create table d558_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d558_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d558_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d558_f(x int)
if x < 0 then
  insert into test.t1 values ("d558_f", 0);
elseif x = 0 then
  insert into test.t1 values ("d558_f", 1);
else
  insert into test.t1 values ("d558_f", 2);
end if
-- ;

-- from: sp.test
create table d559_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d559_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d559_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d559_g(x int)
case
when x < 0 then
  insert into test.t1 values ("d559_g", 0);
when x = 0 then
  insert into test.t1 values ("d559_g", 1);
else
  insert into test.t1 values ("d559_g", 2);
end case
-- ;

-- from: sp.test
create table d560_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d560_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d560_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d560_h(x int)
case x
when 0 then
  insert into test.t1 values ("h0", x);
when 1 then
  insert into test.t1 values ("h1", x);
else
  insert into test.t1 values ("d560_h?", x);
end case
-- ;

-- from: sp.test
create table d561_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
create table d561_t2 (
	s   char(16),
        d561_i   int,
	d   double
)
-- ;
insert into d561_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
create procedure d561_i(x int)
foo:
begin
  if x = 0 then
    leave foo;
  end if;
  insert into test.t1 values ("d561_i", x);
end foo
-- ;

-- from: sp.test
create table d562_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d562_t1 values ("foo", 3), ("bar", 19)
-- ;
create table d562_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d562_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d562_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d562_sel1()
begin
  select * from d562_t1 order by data;
end
-- ;

-- from: sp.test
create table d563_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d563_t1 values ("foo", 3), ("bar", 19)
-- ;
create table d563_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d563_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d563_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d563_sel2()
begin
  select * from d563_t1 order by data;
  select * from d563_t2 order by s;
end
-- ;

-- from: sp.test
create table d564_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d564_t1 values ("foo", 3), ("bar", 19)
-- ;
create table d564_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d564_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d564_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d564_into_test(x char(16), y int)
begin
  insert into test.t1 values (x, y);
  select id,data into x,y from test.t1 limit 1;
  insert into test.t1 values (concat(x, "2"), y+2);
end
-- ;

-- from: sp.test
create table d565_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d565_t1 values ("foo", 3), ("bar", 19)
-- ;
create table d565_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d565_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d565_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d565_into_test2(x char(16), y int)
begin
  insert into test.t1 values (x, y);
  select id,data into x,@z from test.t1 limit 1;
  insert into test.t1 values (concat(x, "2"), y+2);
end
-- ;

-- from: sp.test
create table d566_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d566_t1 values ("foo", 3), ("bar", 19)
-- ;
insert into d566_t1 values ("into3", 19)
-- ;
create table d566_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d566_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d566_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d566_into_test3()
begin
  declare x char(16);
  declare y int;

  select * into x,y from test.t1 limit 1;
  insert into test.t2 values (x, y, 0.0);
end
-- ;

-- from: sp.test
create table d567_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d567_t1 values ("foo", 3), ("bar", 19)
-- ;
insert into d567_t1 values ("into3", 19)
-- ;
insert into d567_t1 values ("i4", 77)
-- ;
create table d567_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d567_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d567_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d567_into_test4()
begin
  declare x int;

  select data into x from test.t1 limit 1;
  insert into test.t3 values ("into4", x);
end
-- ;
create table d567_t3 ( s char(16), d int)
-- ;

-- from: sp.test
create table d568_t1 (
	id   char(16) not null default '',
        data int not null
)
-- ;
insert into d568_t1 values ("foo", 3), ("bar", 19)
-- ;
insert into d568_t1 values ("into3", 19)
-- ;
insert into d568_t1 values ("i4", 77)
-- ;
create table d568_t2 (
	s   char(16),
        i   int,
	d   double
)
-- ;
insert into d568_t2 values ("a", 1, 1.1), ("b", 2, 1.2), ("c", 3, 1.3)
-- ;
insert into d568_t2 values ("x", 9, 4.1), ("y", -1, 19.2), ("z", 3, 2.2)
-- ;
create procedure d568_create_select(x char(16), y int)
begin
  insert into test.t1 values (x, y);
  create temporary table test.t3 select * from test.t1;
  insert into test.t3 values (concat(x, "2"), y+2);
end
-- ;

