#include "settings/IniText.h"

#include <algorithm>
#include <map>
#include <set>

namespace velmora {

namespace {

const QByteArray utf8Mark("\xEF\xBB\xBF");

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || isLineBreak(c);
}

// One logical line as QSettings' reader splits the text: blank lines and comment lines (a ';'
// first) lie between lines; a line break inside quotes or after a backslash belongs to the line;
// a ';' outside quotes ends it. equals is the first '=' outside quotes, -1 when there is none.
struct IniLine
{
    int start = 0;
    int end = 0;
    int equals = -1;
};

// The next line from pos on; false when only blanks and comments are left.
bool nextLine(const QByteArray& text, int& pos, IniLine& line)
{
    const int size = text.size();
    int start = pos;
    while (start < size && isBlank(text[start]))
        ++start;
    int equals = -1;
    bool quoted = false;
    int i = start;
    while (i < size) {
        const char c = text[i];
        if (c == '=') {
            if (!quoted && equals < 0)
                equals = i;
            ++i;
        } else if (isLineBreak(c)) {
            if (i == start) // the break that ends a comment line
                start = ++i;
            else if (!quoted)
                break;
            else
                ++i;
        } else if (c == '\\') {
            ++i;
            if (i < size) {
                const char escaped = text[i++];
                // A CRLF or LFCR pair after a backslash is one escaped break.
                if (i < size && isLineBreak(escaped) && isLineBreak(text[i]) && text[i] != escaped)
                    ++i;
            }
        } else if (c == '"') {
            quoted = !quoted;
            ++i;
        } else if (c == ';') {
            if (i == start) {
                while (i < size && !isLineBreak(text[i]))
                    ++i;
                start = i;
            } else if (!quoted) {
                break;
            } else {
                ++i;
            }
        } else {
            ++i;
        }
    }
    pos = i;
    line = { start, i, equals };
    return i > start;
}

// "[General]" in any case, blanks around the name allowed; "[%General]" is a section named
// General, not this one.
bool isGeneralHeader(const QByteArray& text, const IniLine& line)
{
    const int close = text.indexOf(']', line.start);
    const int nameEnd = close < 0 || close >= line.end ? line.end : close;
    return text.mid(line.start + 1, nameEnd - line.start - 1).trimmed().toLower() == "general";
}

// A key as the reader takes it: '\' stands for '/', %XX and %UXXXX for other characters.
QString unescapedKey(const QByteArray& text, int from, int to)
{
    QString key;
    for (int i = from; i < to;) {
        const char c = text[i];
        if (c == '\\') {
            key += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c == '%' && i + 1 < to) {
            const bool wide = text[i + 1] == 'U';
            const int first = i + (wide ? 2 : 1);
            const int digits = wide ? 4 : 2;
            bool ok = false;
            const int code = first + digits <= to ? text.mid(first, digits).toInt(&ok, 16) : 0;
            if (ok) {
                key += QChar(static_cast<char16_t>(code));
                i = first + digits;
                continue;
            }
        }
        key += QLatin1Char(c);
        ++i;
    }
    return key;
}

QByteArray upperHex(char16_t code, int digits)
{
    return QByteArray::number(code, 16).toUpper().rightJustified(digits, '0');
}

void appendEscapedKey(QByteArray& out, const QString& key)
{
    for (const QChar character : key) {
        const char16_t c = character.unicode();
        if (c == '/')
            out += '\\';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                 || c == '_' || c == '-' || c == '.')
            out += static_cast<char>(c);
        else if (c <= 0xFF)
            out += '%' + upperHex(c, 2);
        else
            out += "%U" + upperHex(c, 4);
    }
}

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void appendEscapedValue(QByteArray& out, QString value)
{
    // QSettings' marks for a text: one holding a NUL is wrapped in @String(), one starting with
    // '@' gets a second '@', so that neither reads as a value of another type.
    if (value.contains(QChar(u'\0')))
        value = QStringLiteral("@String(") + value + QLatin1Char(')');
    else if (value.startsWith(QLatin1Char('@')))
        value.prepend(QLatin1Char('@'));

    const int begin = out.size();
    bool quote = false;
    // After a \x or \0 escape the reader takes every following hex digit into it.
    bool digitsJoin = false;
    for (const QChar character : std::as_const(value)) {
        const char16_t c = character.unicode();
        if (c == ';' || c == ',' || c == '=')
            quote = true;
        if (digitsJoin && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        digitsJoin = false;
        switch (c) {
        case u'\0':
            out += "\\0";
            digitsJoin = true;
            break;
        case u'\a':
            out += "\\a";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\v':
            out += "\\v";
            break;
        case u'"':
        case u'\\':
            out += '\\';
            out += static_cast<char>(c);
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                out += "\\x" + QByteArray::number(c, 16);
                digitsJoin = true;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    // The reader would take a ',' for a list, a ';' for a comment, and trim outer blanks.
    if (quote || (out.size() > begin && (out.at(begin) == ' ' || out.back() == ' '))) {
        out.insert(begin, '"');
        out += '"';
    }
}

} // namespace

QByteArray iniEntry(const QString& name, const QString& value)
{
    QByteArray entry;
    appendEscapedKey(entry, name);
    entry += '=';
    appendEscapedValue(entry, value);
    return entry;
}

QByteArray withIniValues(const QByteArray& text,
                         const std::vector<std::pair<QString, QString>>& values)
{
    std::map<QString, QByteArray> entries;
    std::vector<QString> order; // names in the order they came, for the ones to add
    for (const auto& [name, value] : values) {
        if (!entries.contains(name))
            order.push_back(name);
        entries[name] = iniEntry(name, value);
    }

    struct Edit
    {
        int from = 0;
        int to = 0;
        QByteArray with;
    };
    std::vector<Edit> edits;
    std::set<QString> placed;
    const int bodyStart = text.startsWith(utf8Mark) ? utf8Mark.size() : 0;
    int generalEnd = -1; // where the general section's last line ends
    bool anyLine = false;
    bool inGeneral = true; // lines before the first header belong to it
    int pos = bodyStart;
    IniLine line;
    while (nextLine(text, pos, line)) {
        anyLine = true;
        if (text[line.start] == '[') {
            inGeneral = isGeneralHeader(text, line);
        } else if (inGeneral && line.equals >= 0) {
            int keyEnd = line.equals;
            while (keyEnd > line.start && (text[keyEnd - 1] == ' ' || text[keyEnd - 1] == '\t'))
                --keyEnd;
            const auto found = entries.find(unescapedKey(text, line.start, keyEnd));
            if (found != entries.end()) {
                // A name the file holds twice: its first place takes the new entry, the later
                // ones go, so that no older value can win when the file is read.
                const bool first = placed.insert(found->first).second;
                edits.push_back({ line.start, line.end, first ? found->second : QByteArray() });
            }
        }
        if (inGeneral)
            generalEnd = line.end;
    }

    QByteArray added;
    for (const QString& name : order) {
        if (!placed.contains(name))
            added += '\n' + entries[name];
    }
    if (!added.isEmpty()) {
        if (!anyLine) {
            // Nothing but blanks and comments: the section goes after them.
            const bool open = text.size() > bodyStart && !isLineBreak(text.back());
            edits.push_back({ int(text.size()), int(text.size()),
                              (open ? "\n[General]" : "[General]") + added + '\n' });
        } else if (generalEnd < 0) {
            // No general section yet: it goes first, as QSettings writes it, with a blank line
            // before the section that follows.
            edits.push_back({ bodyStart, bodyStart, "[General]" + added + "\n\n" });
        } else {
            if (generalEnd == text.size())
                added += '\n';
            edits.push_back({ generalEnd, generalEnd, added });
        }
    }

    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.from < b.from; });
    QByteArray result;
    result.reserve(text.size() + added.size() + 64);
    int copied = 0;
    for (const Edit& edit : edits) {
        result += text.mid(copied, edit.from - copied);
        result += edit.with;
        copied = edit.to;
    }
    result += text.mid(copied);
    return result;
}

} // namespace velmora
