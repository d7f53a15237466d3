#pragma once

// The three output forms of dose_report: an aligned text table, CSV and JSON.

#include "journalquery.h"

#include <QByteArray>

enum class ReportFormat { Text, Csv, Json };

QByteArray formatTable(const JournalTable &table, ReportFormat format);
