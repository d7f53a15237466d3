-- Tables and columns that the user terminal reads. The terminal never writes.
-- Identifiers are unquoted: set_ID and set_id name the same column.

CREATE TABLE set (
    set_id     integer PRIMARY KEY,
    set_name   text NOT NULL DEFAULT '',
    set_block  text                      -- empty or NULL: not blocked; otherwise the reason
);

CREATE TABLE kas (
    kas_id     integer PRIMARY KEY,
    set_id     integer NOT NULL REFERENCES set (set_id),
    kas_name   text NOT NULL DEFAULT '',
    kas_block  text,                     -- empty or NULL: not blocked; otherwise the reason
    kas_height integer NOT NULL,         -- rows of the rack
    kas_width  integer NOT NULL          -- cells in a row
);

CREATE TABLE users (
    user_id           integer PRIMARY KEY,
    name_0            text NOT NULL DEFAULT '',
    name_1            text NOT NULL DEFAULT '',
    name_2            text NOT NULL DEFAULT '',
    dose_year         numeric NOT NULL DEFAULT 20,   -- permitted annual dose
    dose_year_now_ppd numeric NOT NULL DEFAULT 0,    -- dose of the current year
    block             text,              -- empty or NULL: not blocked; otherwise the reason
    set_ID            integer,
    kas_ID            integer,
    mesh_ID           integer,
    tab_num           numeric,           -- personnel number typed on the keypad
    card_id           text,              -- proximity card, as the card reader writes it
    code              text               -- scanned code, as the barcode scanner writes it
);

CREATE TABLE mesh (
    mesh_id     integer NOT NULL,        -- cell number within the rack, from 1
    kas_id      integer NOT NULL REFERENCES kas (kas_id),
    set_id      integer NOT NULL REFERENCES set (set_id),
    user_id     integer,                 -- the worker the cell is assigned to
    mesh_status integer,                 -- 0: blocked; NULL reads as 2
    mesh_note   text,
    PRIMARY KEY (kas_id, mesh_id)
);

CREATE TABLE user_photo (
    user_id    integer PRIMARY KEY,
    user_photo bytea                     -- PNG image
);
