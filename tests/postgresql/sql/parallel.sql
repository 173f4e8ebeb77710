-- SPDX-License-Identifier: MIT
-- A parallel sequential scan that opens every one of 200,000 envelopes,
-- checked against the plaintexts.
CREATE TABLE sealed AS
    SELECT i, sealkit_seal('aes-cbc', convert_to('row ' || i, 'UTF8'), sha256('key'::bytea)) AS env
    FROM generate_series(1, 200000) i;
ANALYZE sealed;
SET max_parallel_workers_per_gather = 2;
SET parallel_setup_cost = 0;
SET parallel_tuple_cost = 0;
SET min_parallel_table_scan_size = 0;
EXPLAIN (COSTS OFF)
SELECT count(*) FROM sealed
WHERE sealkit_open('aes-cbc', env, sha256('key'::bytea)) = convert_to('row ' || i, 'UTF8');
SELECT count(*) AS opened_right FROM sealed
WHERE sealkit_open('aes-cbc', env, sha256('key'::bytea)) = convert_to('row ' || i, 'UTF8');
-- The same rows sealed again in parallel give the same envelopes.
SELECT count(*) AS sealed_same FROM sealed
WHERE sealkit_seal('aes-cbc', convert_to('row ' || i, 'UTF8'), sha256('key'::bytea)) = env;
DROP TABLE sealed;
