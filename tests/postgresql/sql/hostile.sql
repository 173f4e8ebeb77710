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

-- A cancel ends a long seal between its chunks, and the next calls work.
-- The 128 MiB input is made once, into a table that keeps it as it is (not
-- compressed), so that the statements only read and seal it. Reading it
-- (with a copy, so no less than the seal's own read) and a whole seal are
-- timed here; then a second session (dblink) starts the same seal, and this
-- one cancels it once pg_stat_activity shows it running and the read plus a
-- tenth of the sealing has passed. From the cancel to the statement's end
-- must take under half the sealing: without a check between chunks it
-- would run on to its end, nine tenths of it.
CREATE EXTENSION dblink;
CREATE TABLE big (b bytea);
ALTER TABLE big ALTER b SET STORAGE EXTERNAL;
INSERT INTO big SELECT textsend(repeat(repeat('a', 4096), 32768));
\set seal 'SELECT length(sealkit_seal(''blowfish'', b, sha256(''k''::bytea))) FROM big'
CREATE FUNCTION elapsed(q text) RETURNS float8 LANGUAGE plpgsql AS $$
DECLARE t0 timestamptz := clock_timestamp();
BEGIN
    EXECUTE q;
    RETURN extract(epoch FROM clock_timestamp() - t0);
END $$;
SELECT elapsed('SELECT length(b || ''''::bytea) FROM big') AS made \gset
SELECT elapsed(:'seal') AS whole \gset
SELECT dblink_connect('other', format('dbname=%s user=%s port=%s host=%s', current_database(), current_user,
       current_setting('port'), split_part(current_setting('unix_socket_directories'), ',', 1))) AS connected;
SELECT dblink_send_query('other', :'seal') AS sent;
-- Seconds from the cancel to the end of the other session's statement.
CREATE FUNCTION cancel_when_running(wait float8) RETURNS float8 LANGUAGE plpgsql AS $$
DECLARE
    other int;
    t0 timestamptz;
BEGIN
    FOR i IN 1..6000 LOOP  -- 60 s at most
        PERFORM pg_stat_clear_snapshot();
        SELECT pid INTO other FROM pg_stat_activity
        WHERE state = 'active' AND pid <> pg_backend_pid() AND query LIKE '%sealkit_seal(''blowfish'', b,%';
        EXIT WHEN other IS NOT NULL;
        PERFORM pg_sleep(0.01);
    END LOOP;
    IF other IS NULL THEN
        RAISE EXCEPTION 'the other session''s seal never ran';
    END IF;
    PERFORM pg_sleep(wait);
    t0 := clock_timestamp();
    PERFORM pg_cancel_backend(other);
    FOR i IN 1..60000 LOOP
        PERFORM pg_stat_clear_snapshot();
        EXIT WHEN NOT EXISTS (SELECT FROM pg_stat_activity WHERE pid = other AND state = 'active');
        PERFORM pg_sleep(0.001);
    END LOOP;
    RETURN extract(epoch FROM clock_timestamp() - t0);
END $$;
SELECT cancel_when_running(:made + 0.1 * (:whole - :made)) / (:whole - :made) < 0.5
    AS cancelled_between_chunks;
SELECT * FROM dblink_get_result('other', false) AS t(n int);
SELECT dblink_disconnect('other');
DROP TABLE big;
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
