PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES(1);
CREATE TABLE sessions (
  id INTEGER PRIMARY KEY,
  created TEXT,
  revision TEXT NOT NULL,
  machine TEXT NOT NULL,
  host TEXT NOT NULL,
  shard TEXT NOT NULL,
  complete INTEGER,
  stop_reason TEXT,
  results_version INTEGER,
  command TEXT,
  environment TEXT,
  settings TEXT,
  run_under TEXT,
  extra TEXT NOT NULL);
INSERT INTO sessions VALUES(1,'2026-12-09T21:37:35Z','r1','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/src/build/release","--revision","r1","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"0.26 1.38 2.02","load_before":"0.26 1.38 2.02","revision":"r1"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
INSERT INTO sessions VALUES(2,'2026-12-09T21:37:36Z','r2','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/src/build/release","--revision","r2","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"0.26 1.38 2.02","load_before":"0.26 1.38 2.02","revision":"r2"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
INSERT INTO sessions VALUES(3,'2026-12-09T21:37:36Z','r3','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/buildB","--revision","r3","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"0.26 1.38 2.02","load_before":"0.26 1.38 2.02","revision":"r3"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
INSERT INTO sessions VALUES(4,'2026-12-09T21:37:36Z','r4','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/buildB","--revision","r4","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"0.48 1.41 2.03","load_before":"0.26 1.38 2.02","revision":"r4"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
INSERT INTO sessions VALUES(5,'2026-12-09T21:38:06Z','r5','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/buildB","--revision","r5","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"1.63 1.60 2.07","load_before":"1.63 1.60 2.07","revision":"r5"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
INSERT INTO sessions VALUES(6,'2026-12-09T21:38:06Z','r6','Intel(R) Xeon(R) Processor, 2 cores, x86_64','vm','',1,'',1,'["/work/aa/src/build/release/bin/bench32-harness","run","-w","smoke","-n","5","--no-build","-p","Fibonacci,sinksort,powtable","-b","release=/work/aa/src/build/release","--revision","r6","--db","/tmp/fx/schema1.db"]','{"cores":"2","cpu":"Intel(R) Xeon(R) Processor","git_dirty":"no","git_revision":"d8f202652fc6074bc7aa16bf44b74c8dc0d2dd18","host":"vm","kernel":"Linux 6.18.44-fc-v1478 x86_64","load_after":"1.98 1.68 2.10","load_before":"1.63 1.60 2.07","revision":"r6"}','{"instructions":0.0,"max_runs":200.0,"min_runs":5.0,"min_time_s":2.0,"precision":0.01,"runs":5.0,"timeout_s":120.0,"warmup":1.0}','','{"schema":"bench32-results"}');
CREATE TABLE configurations (
  session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  compiler TEXT,
  compiler_version TEXT,
  flags TEXT,
  build_dir TEXT,
  extra TEXT NOT NULL,
  PRIMARY KEY (session_id, position));
INSERT INTO configurations VALUES(1,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/src/build/release','{}');
INSERT INTO configurations VALUES(2,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/src/build/release','{}');
INSERT INTO configurations VALUES(3,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/buildB','{}');
INSERT INTO configurations VALUES(4,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/buildB','{}');
INSERT INTO configurations VALUES(5,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/buildB','{}');
INSERT INTO configurations VALUES(6,0,'release','/usr/bin/g++','g++ (Debian 12.2.0-14+deb12u1) 12.2.0','-O2 -DNDEBUG','/work/aa/src/build/release','{}');
CREATE TABLE units (
  id INTEGER PRIMARY KEY,
  session_id BIGINT NOT NULL REFERENCES sessions (id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  config TEXT NOT NULL,
  program TEXT NOT NULL,
  workload TEXT NOT NULL,
  status TEXT NOT NULL,
  failure TEXT,
  input_xxh3 TEXT,
  binary_path TEXT,
  binary_xxh3 TEXT,
  text_bytes BIGINT,
  instructions BIGINT,
  instructions_source TEXT,
  extra TEXT NOT NULL,
  UNIQUE (session_id, position));
INSERT INTO units VALUES(1,1,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/src/build/release/bin/Fibonacci','4fc7d2f65c2a5804',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(2,1,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/src/build/release/bin/powtable','74230fa3af2c1650',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(3,1,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/src/build/release/bin/sinksort','e61874b4aad43bed',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(4,2,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/src/build/release/bin/Fibonacci','4fc7d2f65c2a5804',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(5,2,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/src/build/release/bin/powtable','74230fa3af2c1650',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(6,2,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/src/build/release/bin/sinksort','e61874b4aad43bed',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(7,3,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/buildB/bin/Fibonacci','06c2ef806887db5b',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(8,3,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/buildB/bin/powtable','1abe14c7040e5385',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(9,3,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/buildB/bin/sinksort','a8079f5e1a09e716',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(10,4,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/buildB/bin/Fibonacci','06c2ef806887db5b',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(11,4,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/buildB/bin/powtable','1abe14c7040e5385',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(12,4,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/buildB/bin/sinksort','a8079f5e1a09e716',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(13,5,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/buildB/bin/Fibonacci','06c2ef806887db5b',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(14,5,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/buildB/bin/powtable','1abe14c7040e5385',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(15,5,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/buildB/bin/sinksort','a8079f5e1a09e716',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(16,6,0,'release','Fibonacci','smoke','ok',NULL,'a91d426b7006dea2','/work/aa/src/build/release/bin/Fibonacci','4fc7d2f65c2a5804',5433,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(17,6,1,'release','powtable','smoke','ok',NULL,'b61b3f632d14492c','/work/aa/src/build/release/bin/powtable','74230fa3af2c1650',4489,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
INSERT INTO units VALUES(18,6,2,'release','sinksort','smoke','ok',NULL,'2ef3a1a12238c2e5','/work/aa/src/build/release/bin/sinksort','e61874b4aad43bed',4745,NULL,NULL,'{"samples":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]},"warmup":{"max_rss_kib":[],"sys_s":[],"user_s":[],"wall_s":[]}}');
CREATE TABLE samples (
  unit_id BIGINT NOT NULL REFERENCES units (id) ON DELETE CASCADE,
  timed INTEGER NOT NULL,
  position INTEGER NOT NULL,
  wall_s DOUBLE PRECISION,
  user_s DOUBLE PRECISION,
  sys_s DOUBLE PRECISION,
  max_rss_kib DOUBLE PRECISION,
  layout BIGINT,
  padding BIGINT,
  extra TEXT,
  PRIMARY KEY (unit_id, timed, position));
INSERT INTO samples VALUES(1,0,0,0.0032160900000000000077,0.0032279999999999999665,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,0,0,0.053418022000000002502,0.045972999999999999976,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,0,0,0.002721579000000000012,0.0026960000000000000457,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(1,1,0,0.0031658099999999998047,0.0,0.0032810000000000000622,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,1,0,0.046514844999999999108,0.045803999999999997494,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,1,0,0.0024445080000000001842,0.0025019999999999998838,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(1,1,1,0.0036278840000000000566,0.0,0.003259999999999999877,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,1,1,0.048007946000000002728,0.04586699999999999805,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,1,1,0.0025104390000000001599,0.0024970000000000000875,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(1,1,2,0.0032069500000000000783,0.0033240000000000001316,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,1,2,0.046876610999999998585,0.045803999999999997494,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,1,2,0.002618186000000000211,0.0027070000000000002046,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(1,1,3,0.0032211000000000001783,0.0,0.0032269999999999998338,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,1,3,0.048389197000000001847,0.046096999999999999086,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,1,3,0.0025466600000000000694,0.0026529999999999999762,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(1,1,4,0.0030976889999999998245,0.0,0.0032079999999999999141,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(2,1,4,0.04673175999999999719,0.045021999999999999519,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(3,1,4,0.0026370989999999999535,0.002654999999999999808,0.0,2536.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,0,0,0.0030595179999999997863,0.0030959999999999997938,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,0,0,0.047251517999999999297,0.045048999999999998766,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,0,0,0.0025706409999999998115,0.0027019999999999999747,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,1,0,0.0030650799999999999746,0.0,0.0031500000000000000222,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,1,0,0.04535027199999999703,0.045339999999999998359,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,1,0,0.0025666420000000000553,0.0025809999999999999609,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,1,1,0.0033409030000000001017,0.0034160000000000001994,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,1,1,0.046414085000000000758,0.046256999999999999506,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,1,1,0.0026396710000000001179,0.0027339999999999998851,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,1,2,0.0033981229999999998554,0.0034290000000000001902,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,1,2,0.047895276999999999989,0.047551000000000002987,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,1,2,0.0030331379999999998932,0.0031589999999999999157,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,1,3,0.0033449849999999999722,0.0034060000000000001732,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,1,3,0.047409083999999997172,0.047011999999999998234,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,1,3,0.0028899429999999998522,0.002922000000000000118,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(4,1,4,0.0038500100000000000641,0.003544999999999999974,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(5,1,4,0.048024047999999999736,0.039565000000000002944,0.0071929999999999997412,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(6,1,4,0.0025971819999999999628,0.0027169999999999997972,0.0,2560.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,0,0,0.0032651949999999998162,0.0032560000000000002134,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,0,0,0.045967204999999997094,0.045906000000000002359,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,0,0,0.0025659340000000001834,0.0026120000000000001723,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,1,0,0.0031238649999999999751,0.0031389999999999998632,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,1,0,0.046255559000000001645,0.046148000000000001519,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,1,0,0.0025241030000000001971,0.0025660000000000001384,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,1,1,0.0032550429999999999988,0.003282999999999999894,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,1,1,0.046325545000000002693,0.046054999999999998716,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,1,1,0.0025190389999999998268,0.0,0.0025309999999999998297,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,1,2,0.0033012990000000001604,0.0032639999999999999742,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,1,2,0.055497546000000001764,0.045622999999999996889,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,1,2,0.002846828000000000032,0.0028820000000000000131,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,1,3,0.003260624000000000161,0.0033189999999999999016,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,1,3,0.050019779999999999797,0.045876000000000000111,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,1,3,0.002517113000000000076,0.0025209999999999998035,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(7,1,4,0.0032900849999999998846,0.0,0.0032919999999999997875,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(8,1,4,0.046646434999999999981,0.045643999999999997074,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(9,1,4,0.0033696529999999997977,0.0025790000000000001291,0.0,2556.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,0,0,0.0033357690000000001472,0.0034060000000000001732,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,0,0,0.049127511999999998182,0.0434130000000000002,0.0039459999999999998548,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,0,0,0.0027231799999999999582,0.0027529999999999998049,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,1,0,0.0033181899999999999416,0.003419999999999999863,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,1,0,0.047410246000000003108,0.046785000000000000197,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,1,0,0.0026913940000000001646,0.0027109999999999998682,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,1,1,0.0033695949999999999686,0.0034039999999999999077,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,1,1,0.058165472000000002783,0.046365000000000003432,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,1,1,0.0026202439999999998718,0.0026410000000000001182,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,1,2,0.0033897789999999998825,0.0034150000000000000667,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,1,2,0.046659938999999997499,0.046560999999999998222,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,1,2,0.002603394000000000194,0.0026389999999999998528,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,1,3,0.0032530589999999999853,0.0032710000000000000359,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,1,3,0.046468650999999999706,0.04619299999999999795,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,1,3,0.0025638119999999999486,0.0025929999999999998189,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(10,1,4,0.0031259080000000001586,0.0031640000000000001456,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(11,1,4,0.045999458999999999486,0.0419660000000000033,0.0038149999999999998148,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(12,1,4,0.0026171340000000001269,0.0026340000000000000565,0.0,2484.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,0,0,0.003604238999999999967,0.003253999999999999948,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,0,0,0.08384298599999999435,0.04691900000000000237,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,0,0,0.0026930140000000000848,0.0027439999999999999114,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,1,0,0.0034308659999999998636,0.0034840000000000001176,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,1,0,0.074365121000000006246,0.047526999999999999801,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,1,0,0.0048263439999999997731,0.0028479999999999998372,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,1,1,0.0074764250000000000845,0.0033059999999999999109,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,1,1,0.07227197600000000166,0.047440000000000002999,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,1,1,0.0026931809999999997869,0.0027499999999999998404,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,1,2,0.0074215130000000002416,0.0033709999999999998646,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,1,2,0.071844665000000001997,0.047292000000000000703,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,1,2,0.006900950000000000313,0.0028609999999999998279,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,1,3,0.005918421999999999572,0.0034529999999999999062,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,1,3,0.073795007999999995274,0.047084000000000000851,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,1,3,0.0025824780000000000304,0.0026359999999999998883,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(13,1,4,0.0033147409999999999548,0.0033679999999999999001,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(14,1,4,0.073191881999999999774,0.042736999999999997212,0.0042729999999999998885,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(15,1,4,0.0069675700000000001868,0.0029480000000000000995,0.0,2432.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,0,0,0.00317207300000000008,0.0031840000000000001981,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,0,0,0.061046880999999997285,0.042615000000000000102,0.0038739999999999998395,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,0,0,0.0068721789999999999612,0.0027569999999999999021,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,1,0,0.0034275159999999998093,0.0034220000000000001284,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,1,0,0.070765226000000000516,0.046358000000000003371,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,1,0,0.0079402459999999997625,0.0027399999999999998141,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,1,1,0.0077906970000000000733,0.0033950000000000000142,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,1,1,0.070907512000000005869,0.046536000000000000975,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,1,1,0.0051800439999999999679,0.0,0.0028570000000000001644,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,1,2,0.0034552329999999998287,0.0,0.0035070000000000001345,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,1,2,0.071608635000000003811,0.046905000000000002247,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,1,2,0.0072265819999999996239,0.002756000000000000203,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,1,3,0.0074438150000000003272,0.0034109999999999999695,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,1,3,0.072494011999999996564,0.046952000000000000679,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,1,3,0.0076164900000000000657,0.0027690000000000001938,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(16,1,4,0.0031673410000000001666,0.0032230000000000001703,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(17,1,4,0.070841412000000006377,0.046565000000000002222,0.0,2608.0,NULL,NULL,NULL);
INSERT INTO samples VALUES(18,1,4,0.0081843720000000005215,0.0,0.0030160000000000000176,2608.0,NULL,NULL,NULL);
CREATE INDEX sessions_by_revision ON sessions (revision);
COMMIT;
