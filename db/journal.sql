-- The dose journal on the site's database: the rows of every cabinet, copied
-- by each cabinet's sync (primary key: cabinet id and the cabinet's sequence
-- number, so a replayed row is ignored), the confirmed doses and the annual
-- dose that the terminal checks at login.
--
-- Doses and dose rates are stored as the dosimeter reports them, in its own
-- unit; users.dose_year and users.dose_year_now_ppd must be kept in that unit.

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
    gdel              double precision,           -- thresholds as requested
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
    PRIMARY KEY (cabinet_id, seq)
);
CREATE INDEX IF NOT EXISTS dose_event_ts ON dose_event (ts, cabinet_id, seq);
CREATE INDEX IF NOT EXISTS dose_event_match ON dose_event (cabinet_id, kind, cell, number, seq);
CREATE INDEX IF NOT EXISTS dose_event_number ON dose_event (number, seq);
CREATE INDEX IF NOT EXISTS dose_event_uid ON dose_event (uid, kind);

-- Read-outs whose return was confirmed: an OUT_true that succeeded, matched to
-- the latest read-out of the same cell and dosimeter number before it.
CREATE OR REPLACE VIEW dose_confirmed AS
SELECT r.*
FROM dose_event r
WHERE r.kind = 'readout'
  AND EXISTS (
      SELECT 1 FROM dose_event c
      WHERE c.cabinet_id = r.cabinet_id AND c.kind = 'confirm' AND c.cell = r.cell AND c.number = r.number
        AND c.seq > r.seq
        AND NOT EXISTS (
            SELECT 1 FROM dose_event r2
            WHERE r2.cabinet_id = r.cabinet_id AND r2.kind = 'readout' AND r2.cell = r.cell
              AND r2.number = r.number AND r2.seq > r.seq AND r2.seq < c.seq));

-- Each worker identifier's confirmed dose per calendar year (of the read-out,
-- in the cabinet's local time): gamma plus neutron, as read.
CREATE OR REPLACE VIEW dose_year_by_worker AS
SELECT uid,
       CAST(substr(time_text, 1, 4) AS integer) AS year,
       count(*) AS returns,
       sum(coalesce(dose_gamma, 0) + coalesce(dose_neutron, 0)) AS dose
FROM dose_confirmed
GROUP BY uid, CAST(substr(time_text, 1, 4) AS integer);

-- Recomputes users.dose_year_now_ppd of one worker from the view. p_key names
-- the users column that holds the identifier the outside client sends as
-- "uid"; p_year defaults to the current year. Returns the dose written.
CREATE OR REPLACE FUNCTION dose_journal_recompute(p_key text, p_uid text, p_year integer DEFAULT NULL)
RETURNS double precision
LANGUAGE plpgsql AS $$
DECLARE
    v_year integer := coalesce(p_year, CAST(extract(year FROM now()) AS integer));
    v_dose double precision;
BEGIN
    IF p_key IS NULL OR p_key NOT IN ('user_id', 'tab_num', 'card_id', 'code') THEN
        RAISE EXCEPTION 'annual_dose_key % is not one of user_id, tab_num, card_id, code', p_key;
    END IF;
    SELECT coalesce(sum(dose), 0) INTO v_dose
    FROM dose_year_by_worker WHERE uid = upper(p_uid) AND year = v_year;
    EXECUTE format('UPDATE users SET dose_year_now_ppd = $1 WHERE upper(CAST(%I AS text)) = upper($2)', p_key)
        USING v_dose, p_uid;
    RETURN v_dose;
END
$$;
