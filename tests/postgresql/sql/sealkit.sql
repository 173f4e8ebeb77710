-- SPDX-License-Identifier: MIT
-- Every cipher against the command's envelopes of the same bytes (made by
-- regress.sh), in both directions: lengths 1 to 100, and 3 MiB (a stream).
\getenv fixtures SEALKIT_FIXTURES
\set small_csv :fixtures '/small.csv'
SELECT * FROM sealkit_ciphers();

-- Each cipher's key; none for the built-in one, which takes the
-- two-argument forms.
CREATE TEMP TABLE keys AS
    SELECT name AS cipher,
           CASE WHEN min_key_length > 0 THEN pg_read_binary_file(:'fixtures' || '/' || name || '.key') END AS key
    FROM sealkit_ciphers();
CREATE FUNCTION seal(c text, d bytea, k bytea) RETURNS bytea LANGUAGE sql
    AS $$ SELECT CASE WHEN k IS NULL THEN sealkit_seal(c, d) ELSE sealkit_seal(c, d, k) END $$;
CREATE FUNCTION open(c text, e bytea, k bytea) RETURNS bytea LANGUAGE sql
    AS $$ SELECT CASE WHEN k IS NULL THEN sealkit_open(c, e) ELSE sealkit_open(c, e, k) END $$;

CREATE TEMP TABLE small (cipher text, n int, env text);
COPY small FROM :'small_csv' (FORMAT csv);
SELECT cipher, count(*) AS lengths,
       bool_and(seal(cipher, substring(p.data FOR n), key) = decode(env, 'hex')) AS seal_matches,
       bool_and(open(cipher, decode(env, 'hex'), key) = substring(p.data FOR n)) AS open_matches,
       bool_and(sealkit_plaintext_length(cipher, decode(env, 'hex')) = n) AS lengths_match
FROM small JOIN keys USING (cipher),
     (SELECT pg_read_binary_file(:'fixtures' || '/small') AS data) p
GROUP BY cipher ORDER BY cipher;

SELECT cipher, length(env) AS envelope,
       seal(cipher, big, key) = env AS seal_matches,
       open(cipher, env, key) = big AS open_matches
FROM keys,
     LATERAL (SELECT pg_read_binary_file(:'fixtures' || '/big') AS big,
                     pg_read_binary_file(:'fixtures' || '/big.' || cipher) AS env) f
ORDER BY cipher;

-- The database's own crypto extension agrees on AES-CBC with a zero IV and
-- no padding of its own, once the pad-count byte is put in front.
CREATE EXTENSION pgcrypto;
SELECT count(*) AS lengths,
       count(*) FILTER (WHERE substring(sealkit_seal('aes-cbc', d, k) FROM 2) =
                        encrypt_iv(d || decode(repeat('00', (16 - n % 16) % 16), 'hex'), k,
                                   decode(repeat('00', 16), 'hex'), 'aes-cbc/pad:none')) AS agree
FROM generate_series(1, 48) n,
     LATERAL (SELECT substring(sha512(n::text::bytea) || sha512(n::text::bytea) FOR n) AS d,
                     sha256('key'::bytea) AS k) x;

-- NULL in, NULL out.
SELECT sealkit_seal(NULL, 'x') IS NULL AS a, sealkit_seal('builtin', NULL) IS NULL AS b,
       sealkit_seal('aes-cbc', 'x', NULL) IS NULL AS c, sealkit_open('aes-cbc', NULL, 'k') IS NULL AS d,
       sealkit_open(NULL, 'x') IS NULL AS e, sealkit_plaintext_length('aes-cbc', NULL) IS NULL AS f;

-- One call site keeps the key object of its last key: in one statement,
-- the same data (of more than one block, where ECB and CBC differ) and key
-- under each cipher in turn, each against what a statement of its own made
-- (a cache that ignored the cipher would seal the second row as the first).
CREATE TEMP TABLE alone (n int, cipher text, env bytea);
INSERT INTO alone SELECT 1, 'aes-ecb', sealkit_seal('aes-ecb', 'the same data, over two blocks', sha256('k'::bytea));
INSERT INTO alone SELECT 2, 'aes-cbc', sealkit_seal('aes-cbc', 'the same data, over two blocks', sha256('k'::bytea));
INSERT INTO alone SELECT 3, 'blowfish', sealkit_seal('blowfish', 'the same data, over two blocks', sha256('k'::bytea));
INSERT INTO alone SELECT 4, 'aes-ecb', sealkit_seal('aes-ecb', 'the same data, over two blocks', sha256('k'::bytea));
SELECT n, cipher, sealkit_seal(cipher, 'the same data, over two blocks', sha256('k'::bytea)) = env AS sealed_as_alone,
       sealkit_open(cipher, env, sha256('k'::bytea)) = 'the same data, over two blocks' AS opened_as_alone
FROM alone ORDER BY n;
