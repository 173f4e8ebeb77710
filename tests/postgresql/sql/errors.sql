-- SPDX-License-Identifier: MIT
-- Every error, with its SQLSTATE and message; no message holds the key
-- (whose bytes spell SECRET).
CREATE FUNCTION try(q text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE q;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ': ' || SQLERRM;
END $$;
\set key '''SECRET-SECRET-SECRET-SECRET-32b''::bytea'
SELECT q AS call, try(q) AS result FROM (VALUES
    ($$SELECT sealkit_seal('aes-xts', 'data', $$ || :'key' || ')'),
    ($$SELECT sealkit_seal('AES-CBC', 'data', $$ || :'key' || ')'),
    ($$SELECT sealkit_seal('aes-cbc', 'data', 'SECRET-short')$$),
    ($$SELECT sealkit_open('blowfish', '\x0100000000000000ff', 'SECRET-short')$$),
    ($$SELECT sealkit_seal('aes-cbc', 'data')$$),
    ($$SELECT sealkit_seal('builtin', 'data', $$ || :'key' || ')'),
    ($$SELECT sealkit_seal('aes-cbc', '', $$ || :'key' || ')'),
    ($$SELECT sealkit_seal('builtin', '')$$),
    ($$SELECT sealkit_open('aes-cbc', '\x', $$ || :'key' || ')'),
    ($$SELECT sealkit_open('aes-cbc', '\x00112233445566778899001122334455', $$ || :'key' || ')'),
    ($$SELECT sealkit_open('aes-cbc', '\xff00112233445566778899001122334455', $$ || :'key' || ')'),
    ($$SELECT sealkit_open('blowfish', '\x090011223344556677', $$ || :'key' || ')'),
    ($$SELECT sealkit_plaintext_length('aes-ecb', '\x20')$$),
    ($$SELECT sealkit_plaintext_length('blowfish', '\x0011223344556677')$$),
    ($$SELECT sealkit_plaintext_length('rot13', '\x01')$$)
) t(q);
SELECT count(*) AS messages_with_the_key FROM (VALUES (1)) v
WHERE try($$SELECT sealkit_seal('aes-cbc', 'data', 'SECRET-short')$$) LIKE '%SECRET%';
