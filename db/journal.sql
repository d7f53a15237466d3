-- The dose journal on the site's database: the rows of every cabinet, copied
-- by each cabinet's sync, the counted doses and the annual dose that the
-- terminal checks at login. Every statement here can run again on a database
-- that already holds them (the sync applies this file on every connect).
--
-- Key of a row: the cabinet, the identity of the journal file that wrote it
-- (journal_id: random, made with the file) and the file's sequence number.
-- A replayed row is ignored; a row that arrives under a key already held with
-- other content is kept in dose_event_conflict.
--
-- Doses and dose rates are stored as the dosimeter reports them, in its own
-- unit; users.dose_year and users.dose_year_now_ppd must be kept in that unit.
--
-- Version 2 (journal_id, source, erased, threshold_unit; key with journal_id)
-- leaves the rows already held as they were: their journal_id is '' and the
-- new columns are NULL. Their thresholds gdel ... nder2 are as requested
-- (1500); issue rows with threshold_unit 'dosimeter' hold them as written to
-- the dosimeter (1.5), the unit of the dose columns.

CREATE TABLE IF NOT EXISTS dose_event (
    cabinet_id        text NOT NULL,
    seq               bigint NOT NULL,
    ts                bigint NOT NULL,            -- UTC seconds
    time_text         text NOT NULL,              -- ISO 8601, the cabinet's local time with its offset
    command           text,
    kind              text,
    cell              integer,
    port              text,
    number            text,                       -- dosimeter number
    uid               text,                       -- worker identifier as the dosimeter holds it
    uname             text,
    work_order        text,
    operator          text,
    gdel              double precision,           -- thresholds: see threshold_unit
    gde2              double precision,
    gderl             double precision,
    gder2             double precision,
    ndel              double precision,
    nde2              double precision,
    nderl             double precision,
    nder2             double precision,
    outcome           text,                       -- the reply's error text
    dosimeter_type    text,
    dose_gamma        double precision,
    rate_gamma        double precision,
    rate_gamma_time   bigint,
    dose_neutron      double precision,
    rate_neutron      double precision,
    rate_neutron_time bigint,
    history           text,
    note              text,
    lost_count        bigint,
    lost_first        bigint,
    lost_last         bigint,
    request           text,
    reply             text,
    journal_id        text NOT NULL DEFAULT '',   -- the journal file that wrote the row; '' on older rows
    source            text,                       -- read-outs: scan, recovered, before_reset (NULL: scan)
    erased            integer,                    -- 1: the command erased the dose of number
    threshold_unit    text,                       -- issue rows: 'dosimeter'; NULL: thresholds as requested
    PRIMARY KEY (cabinet_id, journal_id, seq)
);

-- A table made by version 1 gets the new columns and the new key. Every row
-- it holds is unique on (cabinet_id, seq), so also on the new key.
DO $$
DECLARE
    v_key name;
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'dose_event'::regclass
                   AND attname = 'journal_id' AND NOT attisdropped) THEN
        ALTER TABLE dose_event ADD COLUMN journal_id text NOT NULL DEFAULT '';
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'dose_event'::regclass
                   AND attname = 'source' AND NOT attisdropped) THEN
        ALTER TABLE dose_event ADD COLUMN source text;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'dose_event'::regclass
                   AND attname = 'erased' AND NOT attisdropped) THEN
        ALTER TABLE dose_event ADD COLUMN erased integer;
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'dose_event'::regclass
                   AND attname = 'threshold_unit' AND NOT attisdropped) THEN
        ALTER TABLE dose_event ADD COLUMN threshold_unit text;
    END IF;
    SELECT conname INTO v_key FROM pg_constraint
    WHERE conrelid = 'dose_event'::regclass AND contype = 'p';
    IF v_key IS NULL OR pg_get_constraintdef((SELECT oid FROM pg_constraint
            WHERE conrelid = 'dose_event'::regclass AND conname = v_key))
            <> 'PRIMARY KEY (cabinet_id, journal_id, seq)' THEN
        IF v_key IS NOT NULL THEN
            EXECUTE format('ALTER TABLE dose_event DROP CONSTRAINT %I', v_key);
        END IF;
        ALTER TABLE dose_event ADD PRIMARY KEY (cabinet_id, journal_id, seq);
    END IF;
END
$$;

-- Rows that arrived under a key the site already held with other content:
-- both are kept, the one in dose_event and this one, with its arrival time.
CREATE TABLE IF NOT EXISTS dose_event_conflict (
    LIKE dose_event INCLUDING DEFAULTS,
    arrived timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS dose_event_conflict_key ON dose_event_conflict (cabinet_id, journal_id, seq);

CREATE INDEX IF NOT EXISTS dose_event_ts ON dose_event (ts, cabinet_id, seq);
DROP INDEX IF EXISTS dose_event_match;
CREATE INDEX IF NOT EXISTS dose_event_number ON dose_event (number, seq);
CREATE INDEX IF NOT EXISTS dose_event_uid ON dose_event (uid, kind);
-- The counting rule (below) looks up the next read-out or boundary of a
-- dosimeter in one journal file: an index on exactly those rows, with the
-- very condition the rule's query uses. A worker's read-outs of a year and
-- issues are read from indexes alone.
CREATE INDEX IF NOT EXISTS dose_event_cycle ON dose_event (cabinet_id, journal_id, number, seq) INCLUDE (kind)
    WHERE (kind = 'readout' OR erased = 1 OR (erased IS NULL AND kind IN ('confirm', 'cell_unblock', 'issue')));
CREATE INDEX IF NOT EXISTS dose_event_readout ON dose_event (uid, time_text)
    INCLUDE (cabinet_id, journal_id, number, seq, dose_gamma, dose_neutron, rate_gamma, rate_neutron)
    WHERE kind = 'readout';
CREATE INDEX IF NOT EXISTS dose_event_issue ON dose_event (uid, ts, seq) INCLUDE (time_text, outcome, uname)
    WHERE kind = 'issue';

-- The counting rule. A dosimeter's dose accumulates from its issue until it
-- is erased, so what a worker received in one cycle is the last read-out
-- before the erasure. A boundary of dosimeter N is a row of the same cabinet,
-- journal file and number with erased = 1 (confirm, not_confirmed,
-- cell_unblock or issue that went on to reset it), or, on rows older than
-- the erased column (erased IS NULL), a confirm, cell_unblock or issue row.
-- A read-out counts unless the next row of N that is a read-out or a
-- boundary is another read-out (taken out again and read once more before
-- the erasure: the later read-out holds the whole dose). A counted read-out
-- with no boundary after it is pending: not erased yet, and counted too, so
-- that an annual dose errs high rather than low.
-- journalquery.cpp (JournalQuery::countedReadouts) holds the same rule for
-- the cabinet's SQLite file; tests/journal/tst_journal_query.cpp checks both.
CREATE OR REPLACE VIEW dose_counted AS
SELECT r.cabinet_id, r.journal_id, r.seq, r.ts, r.time_text, r.cell, r.port, r.number, r.uid, r.work_order,
       r.dosimeter_type, r.source, r.dose_gamma, r.rate_gamma, r.rate_gamma_time, r.dose_neutron,
       r.rate_neutron, r.rate_neutron_time,
       coalesce(r.dose_gamma, 0) + coalesce(r.dose_neutron, 0) AS dose,
       n.kind IS NULL AS pending
FROM dose_event r
LEFT JOIN LATERAL (
    SELECT e.kind FROM dose_event e
    WHERE e.cabinet_id = r.cabinet_id AND e.journal_id = r.journal_id AND e.number = r.number AND e.seq > r.seq
      AND (e.kind = 'readout' OR e.erased = 1 OR (e.erased IS NULL AND e.kind IN ('confirm', 'cell_unblock', 'issue')))
    ORDER BY e.seq
    LIMIT 1) n ON true
WHERE r.kind = 'readout' AND n.kind IS DISTINCT FROM 'readout';

-- Each worker identifier's counted dose per calendar year (of the read-out,
-- in the cabinet's local time): gamma plus neutron, as read. returns is the
-- number of counted read-outs.
CREATE OR REPLACE VIEW dose_year_by_worker AS
SELECT uid,
       CAST(substr(time_text, 1, 4) AS integer) AS year,
       count(*) AS returns,
       sum(dose) AS dose
FROM dose_counted
GROUP BY uid, CAST(substr(time_text, 1, 4) AS integer);

-- Kept for queries written against version 1: the counted read-outs whose
-- dose has been erased (no longer pending), with every column of the row.
CREATE OR REPLACE VIEW dose_confirmed AS
SELECT e.*
FROM dose_event e
WHERE e.kind = 'readout'
  AND EXISTS (SELECT 1 FROM dose_counted c
              WHERE c.cabinet_id = e.cabinet_id AND c.journal_id = e.journal_id AND c.seq = e.seq
                AND NOT c.pending);

-- Recomputes users.dose_year_now_ppd of some workers from the counted
-- doses: p_key names the users column that holds the identifier the outside
-- client sends as "uid", p_uids the identifiers, p_year the year (default:
-- the current one). Returns each identifier (upper-cased) with the dose
-- written. The sync calls it once a batch, for the workers of every read-out
-- it ships: one pass over users, one search of the rule's index per read-out.
CREATE OR REPLACE FUNCTION dose_journal_recompute_many(p_key text, p_uids text[], p_year integer DEFAULT NULL)
RETURNS TABLE (uid text, dose double precision)
LANGUAGE plpgsql AS $$
DECLARE
    v_year integer := coalesce(p_year, CAST(extract(year FROM now()) AS integer));
BEGIN
    IF p_key IS NULL OR p_key NOT IN ('user_id', 'tab_num', 'card_id', 'code') THEN
        RAISE EXCEPTION 'annual_dose_key % is not one of user_id, tab_num, card_id, code', p_key;
    END IF;
    RETURN QUERY EXECUTE format(
        'WITH sums AS (
             SELECT w.uid, coalesce(s.dose, 0) AS dose
             FROM (SELECT DISTINCT upper(x) AS uid FROM unnest($1) x) w
             LEFT JOIN LATERAL (
                 SELECT sum(c.dose) AS dose FROM dose_counted c
                 WHERE c.uid = w.uid AND CAST(substr(c.time_text, 1, 4) AS integer) = $2) s ON true),
         written AS (
             UPDATE users u SET dose_year_now_ppd = sums.dose FROM sums
             WHERE upper(CAST(u.%I AS text)) = sums.uid RETURNING 1)
         SELECT sums.uid, sums.dose FROM sums', p_key)
        USING p_uids, v_year;
END
$$;

-- The same for one worker; returns the dose written.
-- SELECT dose_journal_recompute('tab_num', uid) FROM ... brings workers up to date by hand.
CREATE OR REPLACE FUNCTION dose_journal_recompute(p_key text, p_uid text, p_year integer DEFAULT NULL)
RETURNS double precision
LANGUAGE sql AS $$
    SELECT dose FROM dose_journal_recompute_many(p_key, ARRAY[p_uid], p_year);
$$;
