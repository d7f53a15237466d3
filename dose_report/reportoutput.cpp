#include "reportoutput.h"

#include <QStringList>

namespace {

// One line per row, columns padded to their widest value; line feeds inside
// a value (history texts, replies) are shown as blanks.
QByteArray text(const JournalTable &table)
{
    QVector<QStringList> cells;
    cells << table.columns;
    for (const QVariantList &row : table.rows) {
        QStringList line;
        for (int i = 0; i < table.columns.size(); ++i)
            line << tableCellText(row.value(i)).replace(QLatin1Char('\n'), QLatin1Char(' '));
        cells << line;
    }
    QVector<int> widths(table.columns.size(), 0);
    for (const QStringList &line : cells) {
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    QString out;
    for (const QStringList &line : cells) {
        QStringList padded;
        for (int i = 0; i < line.size(); ++i)
            padded << (i + 1 < line.size() ? line.at(i).leftJustified(widths[i]) : line.at(i));
        QString text = padded.join(QStringLiteral("  "));
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        out += text + QLatin1Char('\n');
    }
    return out.toUtf8();
}

} // namespace

QByteArray formatTable(const JournalTable &table, ReportFormat format)
{
    switch (format) {
    case ReportFormat::Csv: return tableToCsv(table);
    case ReportFormat::Json: return tableToJson(table);
    case ReportFormat::Text: break;
    }
    return text(table);
}
