#pragma once

#include <QString>
#include <QStringList>

// Process-wide configuration of the rack controller. Set during start-up,
// read by every handler afterwards.
extern QStringList G_ports_dkg;      // candidate serial devices, index 0 .. 60
extern QString G_Path_RAM;           // folder of the per-cell state files
extern QString G_type_ppd;           // "1300" (gamma) or "1300GN" (gamma and neutron)
extern int G_kas_count_cell;         // number of cells in the rack
extern int G_Time_energe_ppd;        // charging time in seconds

// Additions of this implementation; their defaults keep the classic behaviour.
extern QString G_settings_file;      // path of the settings file, "settings.ini" by default
extern QString G_port_base;          // device path prefix, "/dev/ttyACM" by default
extern quint16 G_tcp_port;           // listening port, 6000 by default

constexpr int kPortCount = 61;

// Restores every global to its built-in value (used by tests between cases).
void resetGlobals();

// Reads "port_base" and "tcp_port" and rebuilds G_ports_dkg from the base.
// Runs before anything uses the device list.
void readPortSettings();

// Builds the 61 device paths from a base such as "/dev/ttyACM".
QStringList makePortList(const QString &base);

// Reads kas_count_cell, Path_RAM, type_ppd and Time_energe_ppd when the
// settings file exists; otherwise every global keeps its value.
void StartSettings();

// A text setting of group "Settings"; the default when the file or the key is absent.
QString settingsText(const QString &key, const QString &defaultText);

// An integer setting: decimal text, anything that is not a number reads as 0.
int settingsInt(const QString &key, const QString &defaultText);

// Fast exchanges: how a serial exchange knows the reply is complete, and the
// pause before each TCP reply.
enum class ReplyEnd {
    Silence,   // 100 ms without a byte (the classic rule)
    Frame,     // as soon as the bytes form one complete frame, else the silence rule
};
extern ReplyEnd G_reply_end;         // "reply_end": silence (default) or frame
extern int G_reply_pause_ms;         // "reply_pause_ms": 0 .. 1000, default 100

constexpr int kDefaultReplyPauseMs = 100;
constexpr int kMaxReplyPauseMs = 1000;

// Reads reply_end and reply_pause_ms; a value outside its range keeps the
// default and logs why. Logs the mode in use. Runs before the start-up scan.
void readExchangeSettings();
void resetExchangeSettings();

// Operator console
// Read by cabinet_console only; the controller ignores these keys.
extern int G_rack_columns;           // columns of the rack map, 6 by default
extern QString G_console_listen;     // "HOST:PORT", 127.0.0.1:8080 by default
extern QString G_console_cert;       // TLS certificate (PEM); empty: plain HTTP
extern QString G_console_key;        // TLS private key (PEM)
extern QString G_console_users;      // accounts file of the console
extern QStringList G_console_hosts;  // "console_hosts": Host names accepted; empty: the listen host and localhost
extern int G_console_controller_timeout_s;   // "console_controller_timeout": 1 .. 10 s, 10 by default
extern QString G_dose_unit;          // "dose_unit": unit of the doses the dosimeters report, "мЗв" by default
extern QString G_rate_unit;          // "rate_unit": unit of their dose rates, "мЗв/ч" by default

// Reads the console's keys when the settings file exists.
void readConsoleSettings();

// Dose journal
extern QString G_journal_file;       // "journal" key: journal.sqlite in the working directory; empty: off
extern QString G_cabinet_id;         // "cabinet_id" key: the host name by default
extern QString G_annual_dose_key;    // "annual_dose_key" key: users column matched against "uid"; empty: off

// The [Journal] group: copy to the site's PostgreSQL.
struct JournalPgSettings {
    bool enabled = false;            // "pg"
    QString host, dbname, user;      // "host", "dbname", "user"; empty: PGHOST, PGDATABASE, PGUSER
    int port = -1;                   // "port"; -1: PGPORT
    QString passwordFile;            // "password_file"; empty: PGPASSWORD or PGPASSFILE
    int batchRows = 500;             // "batch"
};
extern JournalPgSettings G_journal_pg;

// Reads the journal keys of [Settings] and the [Journal] group.
void readJournalSettings();

// The journal file as an absolute path (a relative name is taken from the
// working directory); empty when the journal is off.
QString journalFilePath();

// The [Journal] group as a connection to PostgreSQL, the password read from its file.
struct PgSettings;
PgSettings journalPgSettings();
