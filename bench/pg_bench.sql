-- SPDX-License-Identifier: MIT
-- sealkit in PostgreSQL against the database's own crypto extension, on
-- 1,000,000 AES-CBC envelopes of 64-byte plaintexts (65 bytes each):
--   tests/postgresql/regress.sh build/release/sealkit/libsealkit.a \
--       build/release/bin/sealkit -- bench/pg_bench.sql
-- Each query runs three times; the best time of each counts. One backend
-- (no parallel workers), so that the ratio is of the calls alone.
CREATE EXTENSION pgcrypto;
SET max_parallel_workers_per_gather = 0;
CREATE TABLE envs AS
    SELECT sealkit_seal('aes-cbc', sha512(i::text::bytea), sha256('bench'::bytea)) AS env
    FROM generate_series(1, 1000000) i;
VACUUM ANALYZE envs;
SELECT sha256('bench'::bytea) AS key, decode(repeat('00', 16), 'hex') AS iv \gset
\timing on
SELECT sum(length(sealkit_open('aes-cbc', env, :'key'))) AS sealkit FROM envs;
SELECT sum(length(sealkit_open('aes-cbc', env, :'key'))) AS sealkit FROM envs;
SELECT sum(length(sealkit_open('aes-cbc', env, :'key'))) AS sealkit FROM envs;
-- The same work: decrypt the blocks, then drop the pad the first byte counts.
SELECT sum(length(substring(p FOR length(p) - CASE get_byte(env, 0) WHEN 16 THEN 0 ELSE get_byte(env, 0) END)))
    AS pgcrypto
FROM (SELECT env, decrypt_iv(substring(env FROM 2), :'key', :'iv', 'aes-cbc/pad:none') AS p FROM envs) d;
SELECT sum(length(substring(p FOR length(p) - CASE get_byte(env, 0) WHEN 16 THEN 0 ELSE get_byte(env, 0) END)))
    AS pgcrypto
FROM (SELECT env, decrypt_iv(substring(env FROM 2), :'key', :'iv', 'aes-cbc/pad:none') AS p FROM envs) d;
SELECT sum(length(substring(p FOR length(p) - CASE get_byte(env, 0) WHEN 16 THEN 0 ELSE get_byte(env, 0) END)))
    AS pgcrypto
FROM (SELECT env, decrypt_iv(substring(env FROM 2), :'key', :'iv', 'aes-cbc/pad:none') AS p FROM envs) d;
\timing off
-- The migration of the README, on the same million rows, with the default
-- parallel settings: Blowfish first, then to AES-CBC in one statement.
RESET max_parallel_workers_per_gather;
SELECT sha256('old'::bytea) AS old, sha256('new'::bytea) AS new \gset
UPDATE envs SET env = sealkit_seal('blowfish', sealkit_open('aes-cbc', env, :'key'), :'old');
VACUUM envs;
\timing on
UPDATE envs SET env = sealkit_seal('aes-cbc', sealkit_open('blowfish', env, :'old'), :'new');
\timing off
SELECT count(*) AS migrated FROM envs WHERE sealkit_open('aes-cbc', env, :'new') IS NOT NULL;
