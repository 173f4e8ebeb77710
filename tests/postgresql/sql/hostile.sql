-- SPDX-License-Identifier: MIT
-- Hostile input: envelopes of every length up to 40 with every first byte
-- class, a 1 GB input, and a cancel in the middle of a long call.
CREATE FUNCTION try(q text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE q;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE;
END $$;
-- Which lengths open, for a pad count of 0, 1, B and 255: only 1 mod B,
-- and only a pad count that fits the blocks.
SELECT cipher, first,
       string_agg(n::text, ',' ORDER BY n) FILTER (WHERE r = 'ok') AS opens,
       string_agg(DISTINCT r, ',') FILTER (WHERE r <> 'ok') AS refused
FROM (VALUES ('aes-cbc', 16), ('blowfish', 8)) c(cipher, b),
     LATERAL (VALUES (0), (1), (b), (255)) f(first),
     generate_series(0, 40) n,
     LATERAL (SELECT try(format('SELECT sealkit_open(%L, %L::bytea, %L::bytea)', cipher,
                                 CASE WHEN n = 0 THEN '\x' ELSE
                                 '\x' || lpad(to_hex(first), 2, '0') || repeat('ab', n - 1) END,
                                 repeat('k', 16))) AS r) t
GROUP BY cipher, first ORDER BY cipher, first;

-- A 1 GB input (1,073,741,810 bytes, near a bytea's most): its envelope
-- would not fit a bytea, which is said, and the server goes on.
SELECT try($$SELECT length(sealkit_seal('builtin', textsend(repeat(repeat('a', 4603), 233270))))$$)
    AS one_gigabyte;

-- A cancel (statement_timeout) ends a long seal between its chunks, and
-- the next calls work. Each statement makes its 128 MiB input in memory
-- first; that alone, and a whole Blowfish seal, are timed in this session,
-- and the cancel is set to come a fifth of the way into the seal. Without
-- a check between chunks it would wait for the whole seal.
CREATE FUNCTION elapsed(q text) RETURNS float8 LANGUAGE plpgsql AS $$
DECLARE t0 timestamptz := clock_timestamp();
BEGIN
    BEGIN
        EXECUTE q;
    EXCEPTION WHEN query_canceled THEN NULL;
    END;
    RETURN extract(epoch FROM clock_timestamp() - t0);
END $$;
\set input 'textsend(repeat(repeat(''a'', 4096), 32768))'
\set seal 'SELECT length(sealkit_seal(''blowfish'', ' :input ', sha256(''k''::bytea)))'
SELECT elapsed('SELECT length(' || :'input' || ')') AS made \gset
SELECT elapsed(:'seal') AS whole \gset
SELECT set_config('statement_timeout', round(1000 * (:made + 0.2 * (:whole - :made)))::text, false)
    IS NOT NULL AS timeout_set;
SELECT elapsed(:'seal') AS cancelled \gset
RESET statement_timeout;
SELECT (:cancelled - :made) / (:whole - :made) < 0.6 AS cancelled_between_chunks;
SELECT sealkit_open('aes-cbc', sealkit_seal('aes-cbc', 'after', sha256('k'::bytea)), sha256('k'::bytea));

-- Every statement builds its key object, and frees it when it ends: 20,000
-- of them leave the backend's resident memory within 20 MB of where it was
-- (a key object left behind each time would add some 100 MB).
CREATE FUNCTION rss_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT substring(pg_read_file('/proc/' || pg_backend_pid() || '/status')
                     FROM 'VmRSS:\s+(\d+)')::bigint $$;
SELECT rss_kb() AS rss_before \gset
DO $$
BEGIN
    FOR i IN 1..20000 LOOP
        EXECUTE format('SELECT sealkit_seal(%L, %L::bytea, %L::bytea)', 'aes-cbc', 'x',
                       'k' || lpad(i::text, 16, '0'));
    END LOOP;
END $$;
SELECT rss_kb() - :rss_before < 20000 AS key_objects_freed;
