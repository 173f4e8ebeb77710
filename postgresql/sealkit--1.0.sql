-- SPDX-License-Identifier: MIT
-- sealkit's SQL functions: seal data into an envelope and open it again,
-- an envelope's plaintext length, and the ciphers, as sealkit_ciphers()
-- lists them. Every one is STRICT (NULL in, NULL out),
-- IMMUTABLE (the same arguments give the same bytes) and PARALLEL SAFE.
\echo Use "CREATE EXTENSION sealkit" to load this file. \quit

-- The two-argument forms are for a cipher that takes no key (min_key_length
-- 0 in sealkit_ciphers()), the three-argument forms for those that take one.
CREATE FUNCTION sealkit_seal(cipher text, data bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'sealkit_pg_seal' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
CREATE FUNCTION sealkit_seal(cipher text, data bytea, key bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'sealkit_pg_seal' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
CREATE FUNCTION sealkit_open(cipher text, envelope bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'sealkit_pg_open' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
CREATE FUNCTION sealkit_open(cipher text, envelope bytea, key bytea) RETURNS bytea
    AS 'MODULE_PATHNAME', 'sealkit_pg_open' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

CREATE FUNCTION sealkit_plaintext_length(cipher text, envelope bytea) RETURNS bigint
    AS 'MODULE_PATHNAME', 'sealkit_pg_plaintext_length' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

CREATE FUNCTION sealkit_ciphers(OUT name text, OUT family text, OUT block integer,
                                OUT min_key_length integer, OUT max_key_length integer,
                                OUT keygen_length integer) RETURNS SETOF record
    AS 'MODULE_PATHNAME', 'sealkit_pg_ciphers' LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;
