#include "app/protocol.h"

#include <QDateTime>
#include <QFile>
#include <QFontDatabase>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

#include "app/phasor_view.h"
#include "common/atomic_file.h"
#include "common/messages.h"
#include "common/numtext.h"

#ifndef LUMO_VERSION
#define LUMO_VERSION "0"
#endif

namespace lumo::protocol {

namespace {

constexpr int AngleIndex = 2;  // the angle among a phase's six readings
constexpr double Radian = std::numbers::pi / 180.0;

std::string timeText(std::int64_t ms, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QString::fromLatin1(format)).toStdString();
}
std::string clockTime(std::int64_t ms) { return timeText(ms, "HH:mm:ss"); }
std::string dateTime(std::int64_t ms) { return timeText(ms, "dd.MM.yyyy HH:mm:ss"); }

// Mean and spread of plain values.
void plain(const std::vector<double>& v, Stat& st) {
    double sum = 0;
    for (double x : v) sum += x;
    st.mean = sum / static_cast<double>(v.size());
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    st.spread = *hi - *lo;
}

// The mean direction of angles (a phase at 359° and 1° means 0°, not 180°), given in the
// meter's range of the last one (0° to 360° when it sent 200°), and their spread around it.
void angular(const std::vector<double>& v, Stat& st) {
    double c = 0, s = 0;
    for (double x : v) {
        c += std::cos(x * Radian);
        s += std::sin(x * Radian);
    }
    double mean = std::atan2(s, c) / Radian;
    if (v.back() > 180 && mean < 0) mean += 360;
    if (mean >= 360) mean -= 360;
    double lo = 0, hi = 0;
    for (double x : v) {
        const double d = wiring::normalizedAngle(x - mean);
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    st.mean = mean;
    st.spread = hi - lo;
}

void judgeMoved(Stat& st, double size, double floor) {
    st.moved = st.count > 0 && st.spread > MovedShare * std::max(std::abs(size), floor);
}

// The smallest size that "moved" is judged against: a few volts, a current the check can
// judge, a few watts (at smaller values the last digits alone move by per cents).
constexpr double VoltageFloor = 20.0, CurrentFloor = 0.05, PowerFloor = 10.0;

}  // namespace

void averageTicks(const std::deque<Tick>& ticks, Snapshot& s) {
    s.readings = {};
    s.sums = {};
    s.ticks = 0;
    if (ticks.empty()) return;
    const std::int64_t newest = ticks.back().timeMs;
    auto first = ticks.begin();
    while (first != ticks.end() && first->timeMs <= newest - WindowMs) ++first;
    s.firstMs = first->timeMs;
    s.lastMs = newest;
    s.ticks = static_cast<int>(ticks.end() - first);

    for (int n = 0; n < ReadingCount; ++n) {
        std::vector<double> v;
        for (auto t = first; t != ticks.end(); ++t)
            if (const auto& x = t->values[static_cast<size_t>(n)]) v.push_back(*x);
        Stat& st = s.readings[static_cast<size_t>(n)];
        st.count = static_cast<int>(v.size());
        if (v.empty()) continue;
        if (n % ReadingsPerPhase == AngleIndex) angular(v, st);
        else plain(v, st);
    }
    // The three phases' P, Q and S together, over the ticks that had all three.
    for (int q = 0; q < 3; ++q) {
        std::vector<double> v;
        for (auto t = first; t != ticks.end(); ++t) {
            double sum = 0;
            bool all = true;
            for (int phase = 0; phase < 3; ++phase) {
                const auto& x = t->values[static_cast<size_t>(phase * ReadingsPerPhase + 3 + q)];
                all = all && x.has_value();
                if (x) sum += *x;
            }
            if (all) v.push_back(sum);
        }
        Stat& st = s.sums[static_cast<size_t>(q)];
        st.count = static_cast<int>(v.size());
        if (!v.empty()) plain(v, st);
    }
    // What counts as moved: U and I against themselves, P, Q and S against the S they belong to.
    for (int phase = 0; phase < 3; ++phase) {
        auto at = [&](int q) -> Stat& { return s.readings[static_cast<size_t>(phase * ReadingsPerPhase + q)]; };
        const double apparent = at(5).count ? at(5).mean : 0;
        judgeMoved(at(0), at(0).mean, VoltageFloor);
        judgeMoved(at(1), at(1).mean, CurrentFloor);
        at(AngleIndex).moved = at(AngleIndex).count > 0 && at(AngleIndex).spread > MovedDegrees;
        for (int q = 3; q < 6; ++q) judgeMoved(at(q), at(5).count ? apparent : at(q).mean, PowerFloor);
    }
    const double total = s.sums[2].count ? s.sums[2].mean : 0;
    for (Stat& st : s.sums) judgeMoved(st, s.sums[2].count ? total : st.mean, PowerFloor);
}

Snapshot collect(const std::deque<Tick>& ticks, const wiring::Readings& diagram, const wiring::Verdict& verdict,
                 bool polling, std::int64_t nowMs) {
    Snapshot s;
    s.madeMs = nowMs;
    s.site = verdict.site;
    s.verdict = verdict;
    s.version = LUMO_VERSION;
    for (auto t = ticks.rbegin(); t != ticks.rend() && !s.lastFreshMs; ++t)
        for (const auto& v : t->values)
            if (v) {
                s.lastFreshMs = t->timeMs;
                break;
            }
    if (!s.lastFreshMs) {
        s.state = State::NoReadings;
        return s;
    }
    s.state = !polling ? State::Stopped : nowMs - s.lastFreshMs > StaleMs ? State::Silent : State::Current;
    if (s.state == State::Stopped) {
        // The last ticks before polling stopped, up to the last that had readings.
        std::deque<Tick> taken = ticks;
        while (!taken.empty() && taken.back().timeMs > s.lastFreshMs) taken.pop_back();
        averageTicks(taken, s);
    } else {
        averageTicks(ticks, s);
    }
    s.diagram = diagram;
    s.anyDiagram = !verdict.noData;
    return s;
}

std::string defaultFileName(const std::string& object, std::int64_t timeMs) {
    // At most 60 characters of the object: a file name holds 255 bytes, and a Cyrillic letter is two.
    QString shown = QString::fromStdString(object).left(60);
    std::string name;
    for (char c : shown.toStdString()) name += std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos || (c >= 0 && c < 32) ? '_' : c;
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    std::string out = msg::ProtocolFilePrefix;
    if (!name.empty()) out += " " + name;
    return out + " " + timeText(timeMs, "dd.MM.yyyy") + ".pdf";
}

namespace {

const char* const RowNames[6] = {"U, В", "I, А", "φ, °", "P, Вт", "Q, вар", "S, ВА"};

int decimalsOf(int q, double value) {
    switch (q) {
        case 0: return 1;
        case 1: return 3;
        case 2: return 1;
        default: return std::abs(value) >= 1000 ? 0 : 1;
    }
}

std::string cell(const Stat& st, int q, int ticks) {
    if (st.count == 0) return msg::None;
    const int decimals = decimalsOf(q, st.mean);
    std::string text = formatRounded(st.mean, decimals) + " ±" + formatRounded(st.spread / 2, decimals);
    if (st.moved) text += " *";
    if (st.count < ticks) text += " " + msg::protocolOutOf(st.count, ticks);
    return text;
}

// What the operator typed, at most `limit` characters of it (the page has room for a line or two).
std::string typed(const std::string& text, int limit = 160) {
    if (text.empty()) return msg::ProtocolNotGiven;
    const QString whole = QString::fromStdString(text).simplified();
    return (whole.size() > limit ? whole.left(limit - 1) + QChar(0x2026) : whole).toStdString();
}

}  // namespace

Texts texts(const Snapshot& s) {
    Texts t;
    t.title = msg::ProtocolTitle;
    t.subtitle = msg::ProtocolSubtitle;
    const int seconds = static_cast<int>(WindowMs / 1000);
    std::string readingsAt = msg::None;
    if (s.state != State::NoReadings)
        readingsAt = timeText(s.lastMs, "dd.MM.yyyy") + ", " +
                     msg::protocolMean(seconds, clockTime(s.firstMs), clockTime(s.lastMs));
    t.header = {{msg::ProtocolObject, typed(s.fields.object)},
                {msg::ProtocolConnection, typed(s.fields.connection)},
                {msg::ProtocolSite, msg::SiteChoices[static_cast<int>(s.site)]},
                {msg::ProtocolReadingsAt, readingsAt},
                {msg::ProtocolMadeAt, dateTime(s.madeMs)},
                {msg::ProtocolOperator, typed(s.fields.operatorName)}};
    switch (s.state) {
        case State::NoReadings: t.state = msg::ProtocolNoReadings; break;
        case State::Stopped: t.state = msg::protocolStopped(clockTime(s.lastFreshMs)); break;
        case State::Silent: t.state = msg::protocolSilent(clockTime(s.lastFreshMs)); break;
        case State::Current: break;
    }
    t.tableCaption = msg::ProtocolTableCaption;
    t.columns = {"Фаза A", "Фаза B", "Фаза C", msg::ProtocolSumColumn};
    for (int q = 0; q < 6; ++q) {
        t.rowNames[static_cast<size_t>(q)] = RowNames[q];
        for (int phase = 0; phase < 3; ++phase)
            t.cells[static_cast<size_t>(q)][static_cast<size_t>(phase)] =
                cell(s.readings[static_cast<size_t>(phase * ReadingsPerPhase + q)], q, s.ticks);
        t.cells[static_cast<size_t>(q)][3] = q >= 3 ? cell(s.sums[static_cast<size_t>(q - 3)], q, s.ticks) : "";
    }
    t.tableNote = msg::protocolTableNote(seconds);
    const std::string diagramTime = s.state == State::NoReadings ? msg::None : clockTime(s.lastFreshMs);
    t.diagramCaption = msg::protocolDiagram(diagramTime);
    t.checkCaption = std::string(msg::ProtocolCheck) + " (" + msg::SiteLabel + " " +
                     msg::SiteChoices[static_cast<int>(s.site)] + ")";
    t.checkLines = s.verdict.shownLines();
    if (!s.verdict.cannotTell.empty()) {
        t.cannotTell.push_back(msg::CannotTellHeading);
        for (const std::string& item : s.verdict.cannotTell) t.cannotTell.push_back("• " + item);
    }
    t.signature = std::string(msg::ProtocolSignature) + "  /" + typed(s.fields.operatorName, 60) + "/";
    t.program = std::string(msg::ProtocolProgram) + " " + s.version;
    return t;
}

// ---- The page ----

void loadFonts() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char* file : {":/fonts/DejaVuSans.ttf", ":/fonts/DejaVuSans-Bold.ttf"})
            QFontDatabase::addApplicationFont(QString::fromLatin1(file));
    });
}

namespace {

// The page is laid out in units of 1/96 inch (a window's pixel), whatever the writer's resolution.
constexpr double UnitsPerInch = 96.0;
constexpr int Resolution = 1200;

QFont pageFont(double pixels, bool bold = false) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(static_cast<int>(std::lround(pixels)));
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

const QColor Ink(0x10, 0x10, 0x10), Grey(0x70, 0x70, 0x70), Faint(0xB0, 0xB0, 0xB0);
const QColor FaultRed(0xB0, 0x00, 0x20), CleanGreen(0x1B, 0x6E, 0x2A);

// A paragraph wrapped to the width at `y`; returns its height. Measures only when `draw` is false.
double paragraph(QPainter& p, double x, double y, double width, const QFont& font, const QColor& colour,
                 const QString& text, bool draw = true, int flags = Qt::AlignLeft) {
    p.setFont(font);
    const QRectF box = p.boundingRect(QRectF(x, y, width, 1e6), flags | Qt::TextWordWrap, text);
    if (draw) {
        p.setPen(colour);
        p.drawText(QRectF(x, y, width, box.height()), flags | Qt::TextWordWrap, text);
    }
    return box.height();
}

QString q(const std::string& s) { return QString::fromStdString(s); }

void drawPage(QPainter& p, const QRectF& page, const Snapshot& s, const Texts& t) {
    const double x = page.left(), w = page.width();
    double y = page.top();
    const QFont title = pageFont(19, true), body = pageFont(12.5), bodyBold = pageFont(12.5, true),
                small = pageFont(10.5), cellFont = pageFont(11.5);

    y += paragraph(p, x, y, w, title, Ink, q(t.title), true, Qt::AlignHCenter);
    y += paragraph(p, x, y, w, body, Ink, q(t.subtitle), true, Qt::AlignHCenter) + 12;

    // Where and when, a label and its value a line.
    const double labelWidth = 175;
    for (const auto& [label, value] : t.header) {
        const double h = paragraph(p, x, y, labelWidth - 6, bodyBold, Ink, q(label));
        y += std::max(h, paragraph(p, x + labelWidth, y, w - labelWidth, body, Ink, q(value))) + 3;
    }
    if (!t.state.empty()) y += 4 + paragraph(p, x, y + 4, w, bodyBold, FaultRed, q(t.state));
    y += 10;

    // The readings by phase.
    y += paragraph(p, x, y, w, bodyBold, Ink, q(t.tableCaption)) + 4;
    const double nameWidth = 80, colWidth = (w - nameWidth) / 4, rowHeight = 20;
    p.setPen(QPen(Faint, 0.75));
    for (int r = 0; r <= 7; ++r) p.drawLine(QPointF(x, y + r * rowHeight), QPointF(x + w, y + r * rowHeight));
    for (int c = 0; c <= 5; ++c) {
        const double cx = c == 0 ? x : x + nameWidth + (c - 1) * colWidth;
        p.drawLine(QPointF(cx, y), QPointF(cx, y + 7 * rowHeight));
    }
    p.setFont(bodyBold);
    p.setPen(Ink);
    for (int c = 0; c < 4; ++c)
        p.drawText(QRectF(x + nameWidth + c * colWidth, y, colWidth, rowHeight), Qt::AlignCenter, q(t.columns[static_cast<size_t>(c)]));
    for (int r = 0; r < 6; ++r) {
        const double ry = y + (r + 1) * rowHeight;
        p.setFont(bodyBold);
        p.setPen(Ink);
        p.drawText(QRectF(x + 6, ry, nameWidth - 6, rowHeight), Qt::AlignVCenter | Qt::AlignLeft, q(t.rowNames[static_cast<size_t>(r)]));
        p.setFont(cellFont);
        for (int c = 0; c < 4; ++c) {
            const std::string& text = t.cells[static_cast<size_t>(r)][static_cast<size_t>(c)];
            p.setPen(text == msg::None ? Grey : Ink);
            p.drawText(QRectF(x + nameWidth + c * colWidth + 4, ry, colWidth - 8, rowHeight), Qt::AlignCenter, q(text));
        }
    }
    y += 7 * rowHeight + 3;
    y += paragraph(p, x, y, w, small, Grey, q(t.tableNote)) + 10;

    // What stands under the diagram, measured first: the diagram takes the room that is left.
    // The check's lines in a smaller size where many of them would leave the diagram too little;
    // lines beyond what the page holds even then are counted at the end instead.
    double size = 12.5;
    std::vector<wiring::Line> lines = t.checkLines;
    std::vector<std::string> items = t.cannotTell;
    std::size_t left = 0;
    auto checkBlock = [&](double top, bool draw) {
        const QFont lineFont = pageFont(size), lineBold = pageFont(size, true), itemFont = pageFont(size * 0.84);
        double h = paragraph(p, x, top, w, bodyBold, Ink, q(t.checkCaption), draw) + 4;
        const bool clean = !s.verdict.noData && !s.verdict.anyFinding();
        for (const wiring::Line& line : lines) {
            const bool fault = line.severity == wiring::Severity::Fault;
            const QColor colour = clean ? CleanGreen : fault ? FaultRed : Ink;
            h += paragraph(p, x, top + h, w, fault || clean ? lineBold : lineFont, colour, q(line.text), draw) + 2;
        }
        if (!items.empty()) {
            h += 4;
            for (const std::string& item : items) h += paragraph(p, x, top + h, w, itemFont, Ink, q(item), draw) + 1;
        }
        if (left) h += paragraph(p, x, top + h, w, lineBold, Ink, q(msg::protocolLinesLeft(left)), draw);
        return h;
    };
    const double signatureHeight = 60, smallestSide = 160;
    const double captionHeight = paragraph(p, x, y, w, bodyBold, Ink, q(t.diagramCaption), false) + 2;
    auto roomLeft = [&] { return page.bottom() - y - captionHeight - checkBlock(0, false) - signatureHeight - 12; };
    double room = roomLeft();
    while (room < smallestSide && size > 8) {
        size -= 1.5;
        room = roomLeft();
    }
    while (room < smallestSide && (!items.empty() || !lines.empty())) {
        if (!items.empty()) items.pop_back();
        else lines.pop_back();
        ++left;
        room = roomLeft();
    }
    const double side = std::clamp(room, smallestSide, std::min(w, 430.0));

    paragraph(p, x, y, w, bodyBold, Ink, q(t.diagramCaption));
    y += captionHeight;
    PhasorStyle style;
    style.text = Ink;
    style.faint = Faint;
    style.phases = {QColor(0xB0, 0x80, 0x00), QColor(0x1B, 0x7F, 0x2A), QColor(0xC0, 0x14, 0x1C)};
    style.font = pageFont(11);
    style.small = pageFont(9.5);
    const QRectF area(x + (w - side * 1.5) / 2, y, side * 1.5, side);
    p.setRenderHint(QPainter::Antialiasing);
    const std::pair<double, double> scales = phasorScales(s.diagram);
    const double scaleU = scales.first, scaleI = scales.second;
    const PhasorPlot plot = paintPhasorBackground(p, area, s.anyDiagram, scaleU, scaleI, style);
    if (s.anyDiagram) paintPhasorVectors(p, plot, s.diagram, scaleU, scaleI, style);
    y += side + 8;

    y += checkBlock(y, true);

    // The signature at the foot of the page, the program's name and version under it.
    const double foot = std::max(y + 16, page.bottom() - signatureHeight + 16);
    paragraph(p, x, foot, w * 0.65, body, Ink, q(t.signature));
    paragraph(p, x + w * 0.65, foot, w * 0.35, body, Ink, q(msg::ProtocolDate), true, Qt::AlignRight);
    paragraph(p, x, foot + 26, w, small, Grey, q(t.program), true, Qt::AlignRight);
}

}  // namespace

namespace {

// The page into a new file at `file`; false when it could not be written.
bool render(const Snapshot& s, const Texts& t, const QString& file) {
    QPdfWriter pdf(file);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter);
    pdf.setResolution(Resolution);
    pdf.setTitle(q(t.title));
    pdf.setCreator(q(t.program));
    QPainter p;
    if (!p.begin(&pdf)) return false;
    const double scale = Resolution / UnitsPerInch;
    p.scale(scale, scale);
    drawPage(p, QRectF(0, 0, pdf.width() / scale, pdf.height() / scale), s, t);
    return p.end();
}

}  // namespace

bool writePdf(const Snapshot& s, const std::string& path) {
    const Texts t = texts(s);
    try {
        replaceFile(pathFromUtf8(path), [&](const std::filesystem::path& temp) {
            if (!render(s, t, QString::fromStdString(pathToUtf8(temp))))
                throw FileReplaceError("the protocol could not be written");
        });
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace lumo::protocol
