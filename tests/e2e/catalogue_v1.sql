-- A catalogue of schema 1, as the last sievecheck that wrote schema 1 made it:
--   sievecheck --catalog c.db -i tree -i tree/sub -i 'http://alice:PW@/a.tif?X-Amz-Signature=abc&X-Amz-Credential=def'
-- over the tree of CatalogueTest::writeOldTree, then dumped with sqlite3 c.db .dump. The name
-- that is not UTF-8 is written as the bytes it held (CAST(X'..' AS TEXT)), and the two pragmas
-- the dump leaves out are added at the end.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
INSERT INTO settings VALUES('anyFile','0');
INSERT INTO settings VALUES('xmp','parsed');
CREATE TABLE inputs(
    id INTEGER PRIMARY KEY,
    kind INTEGER NOT NULL,          -- 0: a path given with -i, 1: a list of files
    path TEXT NOT NULL,
    position INTEGER NOT NULL,      -- its place among the last run's inputs
    UNIQUE(kind, path));
INSERT INTO inputs VALUES(1,0,'tree',0);
INSERT INTO inputs VALUES(2,0,'tree/sub',1);
INSERT INTO inputs VALUES(3,0,'http://alice:PW@/a.tif?X-Amz-Signature=abc&X-Amz-Credential=def',2);
CREATE TABLE documents(
    id INTEGER PRIMARY KEY,
    input INTEGER NOT NULL REFERENCES inputs(id),
    ord INTEGER,
    source TEXT NOT NULL,
    size INTEGER, modified INTEGER, inode INTEGER, etag TEXT, checked INTEGER,
    summary TEXT NOT NULL,
    title TEXT, author TEXT, createTime TEXT,
    packetBytes INTEGER,            -- null: no XMP packet
    packet TEXT,                    -- the packet's text, when the catalogue keeps raw XMP
    error TEXT,
    UNIQUE(input, source));
INSERT INTO documents VALUES(1,1,NULL,'tree/a.tif',84,1796648538656204486,11075876,NULL,1796648540627564008,'complete','a','Ada',NULL,NULL,NULL,NULL);
INSERT INTO documents VALUES(2,1,NULL,CAST(X'747265652F626164FFFE2E746966' AS TEXT),86,1796648538656204486,11075972,NULL,1796648540627603537,'complete','bad','Ada',NULL,NULL,NULL,NULL);
INSERT INTO documents VALUES(3,1,NULL,'tree/cut.tif',60,1796648538656204486,11075908,NULL,1796648540627620252,'none',NULL,NULL,NULL,NULL,NULL,NULL);
INSERT INTO documents VALUES(4,1,NULL,'tree/sub/c.tif',84,1796648538656204486,11075940,NULL,1796648540627634062,'complete','c','Ada',NULL,NULL,NULL,NULL);
INSERT INTO documents VALUES(5,2,NULL,'tree/sub/c.tif',84,1796648538656204486,11075940,NULL,1796648540627641053,'complete','c','Ada',NULL,NULL,NULL,NULL);
INSERT INTO documents VALUES(6,3,NULL,'http:///a.tif',NULL,NULL,NULL,NULL,NULL,'none',NULL,NULL,NULL,NULL,NULL,'the URL names no host');
CREATE TABLE properties(
    document INTEGER NOT NULL REFERENCES documents(id),
    seq INTEGER NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY(document, seq)) WITHOUT ROWID;
INSERT INTO properties VALUES(1,0,'Description','harbour a');
INSERT INTO properties VALUES(1,1,'Make','Northlight');
INSERT INTO properties VALUES(2,0,'Description','harbour bad');
INSERT INTO properties VALUES(2,1,'Make','Northlight');
INSERT INTO properties VALUES(4,0,'Description','harbour c');
INSERT INTO properties VALUES(4,1,'Make','Northlight');
INSERT INTO properties VALUES(5,0,'Description','harbour c');
INSERT INTO properties VALUES(5,1,'Make','Northlight');
CREATE TABLE xmp_properties(
    document INTEGER NOT NULL REFERENCES documents(id),
    seq INTEGER NOT NULL,
    path TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY(document, seq)) WITHOUT ROWID;
CREATE TABLE skipped(               -- files met in a walk that are no TIFF: no record
    id INTEGER PRIMARY KEY,
    input INTEGER NOT NULL REFERENCES inputs(id),
    ord INTEGER,
    source TEXT NOT NULL,
    size INTEGER, modified INTEGER, inode INTEGER, etag TEXT, checked INTEGER,
    UNIQUE(input, source));
INSERT INTO skipped VALUES(1,1,NULL,'tree/big.tif',24,1796648538656204486,11075844,NULL,1796648540627613402);
INSERT INTO skipped VALUES(2,1,NULL,'tree/notes.txt',3,1796648538656204486,11075956,NULL,1796648540627626902);
PRAGMA writable_schema=ON;
INSERT INTO sqlite_schema(type,name,tbl_name,rootpage,sql)VALUES('table','search','search',0,'CREATE VIRTUAL TABLE search USING fts5(title, author, properties, xmp, content='''')');
CREATE TABLE IF NOT EXISTS 'search_data'(id INTEGER PRIMARY KEY, block BLOB);
INSERT INTO search_data VALUES(1,X'0604040c00');
INSERT INTO search_data VALUES(10,X'000000000101010001010101');
INSERT INTO search_data VALUES(137438953473,X'0000007c02306101080201020302026461010601010201060101020206010102010601010201036261640208020102030101630408020102030108020102030107686172626f75720106010202010601020202060102020106010202010a6e6f7274686c6967687401060102040106010204020601020401060102040409180b0f1d');
CREATE TABLE IF NOT EXISTS 'search_idx'(segid, term, pgno, PRIMARY KEY(segid, term)) WITHOUT ROWID;
INSERT INTO search_idx VALUES(1,X'',2);
CREATE TABLE IF NOT EXISTS 'search_docsize'(id INTEGER PRIMARY KEY, sz BLOB);
INSERT INTO search_docsize VALUES(1,X'01010300');
INSERT INTO search_docsize VALUES(2,X'01010300');
INSERT INTO search_docsize VALUES(3,X'00000000');
INSERT INTO search_docsize VALUES(4,X'01010300');
INSERT INTO search_docsize VALUES(5,X'01010300');
INSERT INTO search_docsize VALUES(6,X'00000000');
CREATE TABLE IF NOT EXISTS 'search_config'(k PRIMARY KEY, v) WITHOUT ROWID;
INSERT INTO search_config VALUES('version',4);
CREATE INDEX documents_incomplete ON documents(id) WHERE summary <> 'complete' OR error IS NOT NULL;
PRAGMA writable_schema=OFF;
PRAGMA application_id=1515537475;
PRAGMA user_version=1;
COMMIT;
