#include "format_settings.h"

#include "file_time.h"

#include <QLocale>
#include <QString>
#include <string>
#include <vector>

namespace qm {

namespace {

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

/// A run of one pattern letter, or a literal character, in a Qt date/time pattern.
struct PatternPiece {
    QChar letter; ///< the token letter; null for a literal
    qsizetype count = 0;
    QString literal; ///< the literal text when letter is null
};

/// Splits a Qt pattern into letter runs and literals; quoted text is literal.
std::vector<PatternPiece> splitPattern(const QString& pattern) {
    std::vector<PatternPiece> pieces;
    for (qsizetype i = 0; i < pattern.size();) {
        QChar c = pattern[i];
        if (c == u'\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == u'\'') {
                pieces.push_back({{}, 0, QStringLiteral("'")});
                i += 2;
                continue;
            }
            qsizetype end = i + 1;
            QString text;
            while (end < pattern.size()) {
                if (pattern[end] == u'\'') {
                    if (end + 1 < pattern.size() && pattern[end + 1] == u'\'') {
                        text += u'\'';
                        end += 2;
                        continue;
                    }
                    break;
                }
                text += pattern[end++];
            }
            pieces.push_back({{}, 0, text});
            i = end + 1;
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            qsizetype end = i;
            while (end < pattern.size() && pattern[end] == c)
                ++end;
            pieces.push_back({c, end - i, {}});
            i = end;
        } else {
            pieces.push_back({{}, 0, QString(c)});
            ++i;
        }
    }
    return pieces;
}

bool isSeparatorChar(QChar c) {
    return c.isPunct() || c.isSymbol();
}

/// Literal text in our pattern form: letters and quote marks are quoted.
std::string quotedLiteral(const QString& text, const QString& separator) {
    std::string out;
    for (QChar c : text) {
        if (!separator.isEmpty() && QString(c) == separator)
            out += '/';
        else if (c == u'"')
            out += "'\"'";
        else if (c == u'\'' || c == u'/' || (c.unicode() < 128 && c.isLetter()))
            out += "\"" + utf8(QString(c)) + "\"";
        else
            out += utf8(QString(c));
    }
    return out;
}

void readDateSettings(const QLocale& locale, FormatSettings& settings) {
    QString pattern = locale.dateFormat(QLocale::ShortFormat);
    if (pattern.isEmpty())
        return;
    auto pieces = splitPattern(pattern);
    QString separator;
    for (const auto& piece : pieces) {
        if (piece.letter.isNull() && piece.literal.size() == 1 &&
            isSeparatorChar(piece.literal[0])) {
            separator = piece.literal;
            break;
        }
    }
    std::string converted;
    bool anyField = false;
    for (const auto& piece : pieces) {
        if (piece.letter.isNull()) {
            converted += quotedLiteral(piece.literal, separator);
        } else if (piece.letter == u'd' && piece.count <= 2) {
            converted += piece.count == 1 ? "d" : "dd";
            anyField = true;
        } else if (piece.letter == u'M') {
            converted += piece.count == 1 ? "m" : "mm";
            anyField = true;
        } else if (piece.letter == u'y') {
            converted += piece.count <= 2 ? "yy" : "yyyy";
            anyField = true;
        }
        // Day names and other fields have no place in the short date.
    }
    if (!anyField)
        return;
    if (!separator.isEmpty())
        settings.dateSeparator = utf8(separator);
    settings.shortDateFormat = converted;
}

void readTimeSettings(const QLocale& locale, FormatSettings& settings) {
    QString pattern = locale.timeFormat(QLocale::ShortFormat);
    auto pieces = splitPattern(pattern);
    std::ptrdiff_t hourAt = -1;
    std::ptrdiff_t designatorAt = -1;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        QChar letter = pieces[i].letter;
        if ((letter == u'h' || letter == u'H') && hourAt < 0) {
            hourAt = static_cast<std::ptrdiff_t>(i);
            settings.hourLeadingZero = pieces[i].count >= 2;
        } else if ((letter == u'a' || letter == u'A') && designatorAt < 0) {
            designatorAt = static_cast<std::ptrdiff_t>(i);
        }
    }
    if (hourAt < 0)
        return;
    for (auto i = static_cast<std::size_t>(hourAt) + 1; i < pieces.size(); ++i) {
        const auto& piece = pieces[i];
        if (piece.letter.isNull() && piece.literal.size() == 1 &&
            isSeparatorChar(piece.literal[0])) {
            settings.timeSeparator = utf8(piece.literal);
            break;
        }
        if (!piece.letter.isNull())
            break;
    }
    settings.twelveHourClock = designatorAt >= 0;
    settings.designatorFirst = designatorAt >= 0 && designatorAt < hourAt;
}

std::string twoDigits(int value) {
    std::string text = std::to_string(value);
    return text.size() < 2 ? "0" + text : text;
}

std::string formatDate(const DateTimeParts& parts, const FormatSettings& settings) {
    const std::string& pattern = settings.shortDateFormat;
    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '"' || c == '\'') {
            auto end = pattern.find(c, i + 1);
            if (end == std::string::npos)
                end = pattern.size();
            out.append(pattern, i + 1, end - i - 1);
            i = end + 1;
            continue;
        }
        if (c == '/') {
            out += settings.dateSeparator;
            ++i;
            continue;
        }
        char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != 'd' && lower != 'm' && lower != 'y') {
            out += c;
            ++i;
            continue;
        }
        std::size_t count = 0;
        while (i < pattern.size() && (pattern[i] == lower || pattern[i] == lower - 'a' + 'A')) {
            ++count;
            ++i;
        }
        if (lower == 'd')
            out += count == 1 ? std::to_string(parts.day) : twoDigits(parts.day);
        else if (lower == 'm')
            out += count == 1 ? std::to_string(parts.month) : twoDigits(parts.month);
        else if (count <= 2)
            out += twoDigits(parts.year % 100);
        else
            out += std::to_string(parts.year);
    }
    return out;
}

std::string formatLongTime(const DateTimeParts& parts, const FormatSettings& settings) {
    int hour = parts.hour;
    std::string designator;
    if (settings.twelveHourClock) {
        designator = hour < 12 ? settings.amDesignator : settings.pmDesignator;
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    std::string time = settings.hourLeadingZero ? twoDigits(hour) : std::to_string(hour);
    time += settings.timeSeparator + twoDigits(parts.minute);
    time += settings.timeSeparator + twoDigits(parts.second);
    if (!settings.twelveHourClock)
        return time;
    return settings.designatorFirst ? designator + " " + time : time + " " + designator;
}

} // namespace

FormatSettings FormatSettings::fromLocale(const QLocale& locale) {
    FormatSettings settings;
    // The C and POSIX locales name no user's conventions; Qt's patterns for them
    // ("d MMM yyyy", 24 hours) would read oddly and put blanks in folder names.
    if (locale.language() == QLocale::C)
        return settings;
    readDateSettings(locale, settings);
    readTimeSettings(locale, settings);
    if (!locale.amText().isEmpty())
        settings.amDesignator = utf8(locale.amText());
    if (!locale.pmText().isEmpty())
        settings.pmDesignator = utf8(locale.pmText());
    return settings;
}

FormatSettings FormatSettings::fromSystem() {
    return fromLocale(QLocale::system());
}

std::string dateTimeText(double value, const FormatSettings& settings) {
    DateTimeParts parts = decodeDateTime(value);
    std::string text = formatDate(parts, settings);
    if (parts.hour != 0 || parts.minute != 0 || parts.second != 0)
        text += " " + formatLongTime(parts, settings);
    return text;
}

std::string dateText(double value, const FormatSettings& settings) {
    return formatDate(decodeDateTime(value), settings);
}

} // namespace qm
