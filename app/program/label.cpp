// A disc's label: its studies read from the DICOMDIR through DCMTK, drawn
// with Qt's painter onto PDF pages, a printer or a picture.
#include "app/program/label.hpp"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcspchrs.h>

#include <QBuffer>
#include <QDate>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <set>

#include "app/error.hpp"
#include "app/files.hpp"
#include "dicom/toolkit.hpp"

namespace velunor {

namespace {

std::string Value(DcmItem& item, const DcmTagKey& tag) {
    OFString v;
    if (item.findAndGetOFStringArray(tag, v).bad()) return "";
    return v.c_str();
}

bool ValidUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())).toUtf8().toStdString() == s; }

// `raw` in UTF-8, read in `charset` (the value of Specific Character Set).
std::string Decode(const std::string& raw, const std::string& charset) {
    if (std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) return raw;
    DcmSpecificCharacterSet converter;
    OFString out;
    if (converter.selectCharacterSet(charset.c_str()).good() && converter.convertString(raw.c_str(), out).good())
        return out.c_str();
    if (ValidUtf8(raw)) return raw;
    return QString::fromLatin1(raw.data(), static_cast<int>(raw.size())).toStdString();
}

// "Family^Given^Middle" as "Family, Given Middle"; a second (ideographic)
// group follows in parentheses.
std::string PersonName(const std::string& pn) {
    std::vector<std::string> groups;
    std::size_t start = 0;
    for (std::size_t eq; (eq = pn.find('=', start)) != std::string::npos; start = eq + 1)
        groups.push_back(pn.substr(start, eq - start));
    groups.push_back(pn.substr(start));
    auto one = [](const std::string& g) {
        std::vector<std::string> parts;
        std::size_t from = 0;
        for (std::size_t caret; (caret = g.find('^', from)) != std::string::npos; from = caret + 1)
            parts.push_back(g.substr(from, caret - from));
        parts.push_back(g.substr(from));
        std::string rest;
        for (std::size_t i = 1; i < parts.size(); ++i)
            if (!parts[i].empty()) rest += (rest.empty() ? "" : " ") + parts[i];
        return parts[0] + (rest.empty() || parts[0].empty() ? rest : ", " + rest);
    };
    std::string out = one(groups[0]);
    if (groups.size() > 1 && !groups[1].empty()) out += out.empty() ? one(groups[1]) : " (" + one(groups[1]) + ")";
    return out;
}

std::string DateText(const std::string& da) {
    if (da.size() == 8 && da.find_first_not_of("0123456789") == std::string::npos)
        return da.substr(0, 4) + "-" + da.substr(4, 2) + "-" + da.substr(6, 2);
    return da;
}

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

// Sizes on the page in millimetres; fonts in points.
constexpr double kFace = 120, kDiscRadius = 58, kHubRadius = 22;
constexpr double kInsertWidth = 183, kInsertHeight = 273, kInsertMargin = 10;
constexpr double kRowHeight = 2.9, kInsertFirstRow = 32;
const int kRowsPerInsertPage = static_cast<int>((kInsertHeight - kInsertMargin - kInsertFirstRow) / kRowHeight);

int InsertPages(const DiscLabelContent& c) {
    const int n = static_cast<int>(c.studies.size());
    return n <= kStudiesOnDiscFace ? 0 : (n + kRowsPerInsertPage - 1) / kRowsPerInsertPage;
}

// Draws in millimetres on a device of `dpi` dots per inch.
struct Pen {
    QPainter& p;
    double dpi;
    double x0 = 0, y0 = 0;   // the page's corner, mm

    double D(double mm) const { return mm * dpi / 25.4; }
    QRectF R(double x, double y, double w, double h) const { return {D(x0 + x), D(y0 + y), D(w), D(h)}; }
    void Font(double points, bool bold = false) {
        QFont f("DejaVu Sans");
        f.setPointSizeF(points * dpi / p.device()->logicalDpiY());
        f.setBold(bold);
        p.setFont(f);
    }
    // `text` in the box, cut with an ellipsis when it is too wide.
    void Text(double x, double y, double w, double h, const std::string& text, int align = Qt::AlignLeft) {
        const QString elided = QFontMetricsF(p.font(), p.device()).elidedText(Q(text), Qt::ElideRight, D(w));
        p.drawText(R(x, y, w, h), align | Qt::AlignVCenter, elided);
    }
};

std::string StudyCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " study" : " studies"); }

std::string OneLine(const LabelStudy& s) {
    std::string line = s.patientName;
    for (const std::string* part : {&s.patientId, &s.studyDate, &s.modalities, &s.description})
        if (!part->empty()) line += "  " + *part;
    return line;
}

void PaintFace(Pen& pen, const DiscLabelContent& c) {
    QPainter& p = pen.p;
    p.setPen(QPen(QColor(190, 190, 190), pen.D(0.2)));
    p.setBrush(Qt::NoBrush);
    const QPointF centre(pen.D(pen.x0 + kFace / 2), pen.D(pen.y0 + kFace / 2));
    p.drawEllipse(centre, pen.D(kDiscRadius), pen.D(kDiscRadius));
    p.drawEllipse(centre, pen.D(kHubRadius), pen.D(kHubRadius));
    p.setPen(Qt::black);
    pen.Font(24, true);
    pen.Text(20, 9, 80, 12, c.label, Qt::AlignHCenter);
    pen.Font(8);
    pen.Text(20, 22, 80, 4, c.written.empty() ? "" : "Written " + c.written, Qt::AlignHCenter);
    pen.Text(20, 26, 80, 4, StudyCount(c.studies.size()), Qt::AlignHCenter);

    // Below the hub, one line per study, as wide as the disc allows there.
    const double rowHeight = 3.2, top = kFace / 2 + kHubRadius + 2;
    const std::size_t total = c.studies.size();
    const std::size_t shown = total <= kStudiesOnDiscFace ? total : kStudiesOnDiscFace - 1;
    pen.Font(6);
    for (std::size_t i = 0; i <= shown && i < kStudiesOnDiscFace; ++i) {
        const double y = top + static_cast<double>(i) * rowHeight;
        const double below = y + rowHeight - kFace / 2;
        const double half = std::sqrt(std::max(0.0, kDiscRadius * kDiscRadius - below * below)) - 3;
        if (i < shown)
            pen.Text(kFace / 2 - half, y, 2 * half, rowHeight, OneLine(c.studies[i]), Qt::AlignHCenter);
        else if (shown < total)
            pen.Text(kFace / 2 - half, y, 2 * half, rowHeight,
                     "and " + std::to_string(total - shown) + " more: see the case insert", Qt::AlignHCenter);
    }
}

void PaintInsertPage(Pen& pen, const DiscLabelContent& c, int page) {
    QPainter& p = pen.p;
    const int pages = InsertPages(c);
    const double m = kInsertMargin, w = kInsertWidth - 2 * m;
    p.setPen(Qt::black);
    pen.Font(18, true);
    pen.Text(m, m, 60, 9, c.label);
    pen.Font(8);
    pen.Text(m + 60, m, w - 60, 9,
             (c.written.empty() ? "" : "Written " + c.written + "   ") + StudyCount(c.studies.size()) + "   page " +
                 std::to_string(page + 1) + " of " + std::to_string(pages),
             Qt::AlignRight);
    p.setPen(QPen(Qt::black, pen.D(0.3)));
    p.drawLine(QPointF(pen.D(pen.x0 + m), pen.D(pen.y0 + m + 11)), QPointF(pen.D(pen.x0 + m + w), pen.D(pen.y0 + m + 11)));
    struct Column {
        const char* title;
        double x, width;
    };
    const Column columns[] = {{"No.", 0, 8},          {"Patient name", 9, 55}, {"Patient ID", 65, 30},
                              {"Study date", 96, 18}, {"Modality", 115, 15},   {"Description", 131, w - 131}};
    pen.Font(6.5, true);
    for (const Column& col : columns) pen.Text(m + col.x, kInsertFirstRow - kRowHeight - 1, col.width, kRowHeight, col.title);
    pen.Font(6.5);
    const std::size_t first = static_cast<std::size_t>(page) * kRowsPerInsertPage;
    for (std::size_t i = first; i < c.studies.size() && i < first + kRowsPerInsertPage; ++i) {
        const double y = kInsertFirstRow + static_cast<double>(i - first) * kRowHeight;
        if ((i - first) % 2 == 1) p.fillRect(pen.R(m, y, w, kRowHeight), QColor(235, 235, 235));
        const LabelStudy& s = c.studies[i];
        const std::string cells[] = {std::to_string(i + 1), s.patientName, s.patientId, s.studyDate, s.modalities, s.description};
        for (std::size_t k = 0; k < std::size(cells); ++k)
            pen.Text(m + columns[k].x, y, columns[k].width, kRowHeight, cells[k]);
    }
}

// Runs `paint` with a QGuiApplication: the process's own, or one made for
// the while (offscreen: a label needs fonts, not a display).
template <typename Paint>
void WithGuiApplication(Paint&& paint) {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return paint();
    if (QCoreApplication::instance())
        throw Error(0, "a label cannot be drawn in a program without a graphical Qt application");
    char name[] = "velunor", platformOption[] = "-platform", platform[] = "offscreen";
    char* argv[] = {name, platformOption, platform, nullptr};
    int argc = 3;
    QGuiApplication app(argc, argv);
    paint();
}

}  // namespace

std::vector<LabelStudy> StudiesOfDicomDir(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    InitDicomToolkit();
    DcmInputBufferStream stream;
    stream.setBuffer(bytes.data(), static_cast<offile_off_t>(bytes.size()));
    stream.setEos();
    DcmFileFormat file;
    file.transferInit();
    const OFCondition status = file.read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    file.transferEnd();
    DcmSequenceOfItems* records = nullptr;
    if (bytes.empty() || status.bad() ||
        file.getDataset()->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() || !records)
        throw Error(0, name + " is no DICOMDIR" + (status.bad() ? std::string(": ") + status.text() : ""));
    const std::string dirCharset = Value(*file.getDataset(), DCM_SpecificCharacterSet);
    // DCMTK writes the records depth first: a patient, its first study, that
    // study's series and images, its next study, ...
    std::vector<LabelStudy> studies;
    std::set<std::string> modalities;
    std::string patientName, patientId, patientCharset = dirCharset;
    auto endStudy = [&] {
        if (studies.empty()) return;
        for (const std::string& m : modalities)
            studies.back().modalities += (studies.back().modalities.empty() ? "" : ", ") + m;
        modalities.clear();
    };
    for (unsigned long i = 0; i < records->card(); ++i) {
        DcmItem& record = *records->getItem(i);
        const std::string type = Value(record, DCM_DirectoryRecordType);
        std::string charset = Value(record, DCM_SpecificCharacterSet);
        if (type == "PATIENT") {
            endStudy();
            patientCharset = charset.empty() ? dirCharset : charset;
            patientName = PersonName(Decode(Value(record, DCM_PatientName), patientCharset));
            patientId = Decode(Value(record, DCM_PatientID), patientCharset);
        } else if (type == "STUDY") {
            endStudy();
            if (charset.empty()) charset = patientCharset;
            studies.push_back({patientName, patientId, DateText(Value(record, DCM_StudyDate)), "",
                               Decode(Value(record, DCM_StudyDescription), charset)});
        } else if (type == "SERIES") {
            if (const std::string m = Value(record, DCM_Modality); !m.empty()) modalities.insert(m);
        }
    }
    endStudy();
    return studies;
}

DiscLabelContent StagedDiscLabel(const StagedDisc& disc, MediaProfile profile) {
    const std::filesystem::path file = disc.tree.Dicomdir(profile);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ErrnoError(errno, file.string() + " cannot be read");
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw ErrnoError(errno, file.string() + " cannot be read");
    return {disc.Label(), QDate::currentDate().toString(Qt::ISODate).toStdString(), StudiesOfDicomDir(bytes, file.string())};
}

void PaintDiscLabel(QPagedPaintDevice& device, const DiscLabelContent& content) {
    device.setPageMargins(QMarginsF(0, 0, 0, 0));
    device.setPageSize(QPageSize(QSizeF(kFace, kFace), QPageSize::Millimeter, "Disc", QPageSize::ExactMatch));
    QPainter painter;
    if (!painter.begin(&device)) throw Error(0, "the label cannot be drawn on this device");
    Pen pen{painter, static_cast<double>(device.logicalDpiX())};
    PaintFace(pen, content);
    for (int page = 0; page < InsertPages(content); ++page) {
        device.setPageSize(QPageSize(QSizeF(kInsertWidth, kInsertHeight), QPageSize::Millimeter, "DVD case insert",
                                     QPageSize::ExactMatch));
        device.newPage();
        PaintInsertPage(pen, content, page);
    }
    painter.end();
}

void WriteLabelPdf(const DiscLabelContent& content, const std::filesystem::path& file) {
    QByteArray bytes;
    WithGuiApplication([&] {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter pdf(&buffer);
        pdf.setResolution(600);
        pdf.setTitle(Q(content.label));
        pdf.setCreator("Velunor");
        PaintDiscLabel(pdf, content);
    });
    ReplaceFileAtomically(file, bytes.toStdString());
}

void WriteLabelPng(const DiscLabelContent& content, const std::filesystem::path& file) {
    QByteArray bytes;
    WithGuiApplication([&] {
        constexpr double dpi = 200;
        const int pages = InsertPages(content);
        const double width = pages ? kInsertWidth : kFace, height = kFace + pages * (kInsertHeight + 4);
        QImage image(static_cast<int>(width * dpi / 25.4), static_cast<int>(height * dpi / 25.4), QImage::Format_RGB32);
        image.setDotsPerMeterX(static_cast<int>(dpi / 0.0254));
        image.setDotsPerMeterY(static_cast<int>(dpi / 0.0254));
        image.fill(QColor(200, 200, 200));
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        Pen pen{painter, dpi};
        painter.fillRect(pen.R(0, 0, kFace, kFace), Qt::white);
        PaintFace(pen, content);
        for (int page = 0; page < pages; ++page) {
            pen.y0 = kFace + 4 + page * (kInsertHeight + 4);
            painter.fillRect(pen.R(0, 0, kInsertWidth, kInsertHeight), Qt::white);
            PaintInsertPage(pen, content, page);
        }
        painter.end();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG")) throw Error(0, "the label cannot be encoded as PNG");
    });
    ReplaceFileAtomically(file, bytes.toStdString());
}

}  // namespace velunor
