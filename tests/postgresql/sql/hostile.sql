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

-- A cancel (statement_timeout) while a long input is sealed ends the call
-- at once; the next calls work.
CREATE TEMP TABLE big (d bytea);
ALTER TABLE big ALTER d SET STORAGE EXTERNAL;
INSERT INTO big SELECT convert_to(repeat(repeat('a', 1024), 262144), 'UTF8');
SET statement_timeout = '100ms';
SELECT length(sealkit_seal('aes-cbc', d, sha256('k'::bytea))) FROM big;
RESET statement_timeout;
SELECT sealkit_open('aes-cbc', sealkit_seal('aes-cbc', 'after', sha256('k'::bytea)), sha256('k'::bytea));
