// The sample-archive generator: DICOM files written by DCMTK (GDCM encodes
// JPEG 2000), ZIP archives by libzip, database rows through the project's
// own database layer.
#include "tools/archive_generator.hpp"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h>   // colour images for the JPEG encoder
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpeg/djrploss.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmImageWriter.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmTrace.h>

#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "app/error.hpp"
#include "bookkeeping/database.hpp"
#include "dicom/toolkit.hpp"

namespace fs = std::filesystem;

namespace velunor::archive {

namespace {

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

// ---- determinism ---------------------------------------------------------

// SplitMix64: small, fast, and specified here, so the same seed gives the
// same archive with every compiler and library.
struct Rng {
    std::uint64_t state;
    explicit Rng(std::uint64_t seed) : state(seed ^ 0x5DEECE66DULL) {}
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform enough in [0, n) for the generator's purposes.
    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(Next() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <class T>
    const T& Pick(const std::vector<T>& v) { return v[Below(static_cast<unsigned>(v.size()))]; }
};

// A UID under the 2.25 root: a 128-bit number in decimal (no registration
// needed, unique by chance).
std::string NewUid(Rng& rng) {
    unsigned __int128 value = (static_cast<unsigned __int128>(rng.Next()) << 64) | rng.Next();
    if (value == 0) value = 1;
    std::string digits;
    while (value > 0) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return "2.25." + digits;
}

// UTF-8 to ISO 8859-1 for the dataset values (Specific Character Set
// "ISO_IR 100"); the generator's texts hold Latin-1 characters only.
std::string Latin1(const std::string& utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
            ++i;
        } else {
            out += '?';
        }
    }
    return out;
}

std::string Format(const char* pattern, long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string FormatDouble(double v) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << std::setprecision(10) << v;
    return s.str();
}

// ---- what the archive is made of ----------------------------------------

const std::vector<std::string> kFamilyNames = {
    "Müller", "Schäfer", "Weiß", "O'Brien", "Jürgens", "Köhler", "Nußbaum", "D'Angelo",
    "Becker", "Großmann", "Hoffmann", "Özdemir", "Schmidt", "L'Hôte", "Bäumer", "Meyer"};
const std::vector<std::string> kGivenNames = {"Hans", "Anna-Lena", "Jörg", "Renée", "Zoë", "Klaus",
                                              "Sören", "Maria", "Fatma", "Luca", "Ingrid", "Sean"};

struct ModalityInfo {
    Modality modality;
    const char* name;
    const char* sopClass;
    std::vector<std::string> studyDescriptions;
    std::vector<std::string> seriesDescriptions;
    const char* bodyPart;
};

const std::vector<ModalityInfo>& Modalities() {
    static const std::vector<ModalityInfo> table = {
        {Modality::CT, "CT", UID_CTImageStorage, {"CT Thorax", "CT Schädel", "CT Abdomen"},
         {"Thorax nativ", "Schädel KM", "Abdomen venös", "Lunge 1.0 B60f"}, "CHEST"},
        {Modality::MR, "MR", UID_MRImageStorage, {"MRT Knie", "MRT Kopf", "MRT LWS"},
         {"T2 tse tra", "T1 sag", "FLAIR cor", "DWI b1000"}, "HEAD"},
        {Modality::CR, "CR", UID_ComputedRadiographyImageStorage, {"Röntgen Thorax", "Röntgen Hand", "Röntgen Knie"},
         {"Thorax p.a.", "Hand links", "Knie re. seitl."}, "CHEST"},
        {Modality::US, "US", UID_UltrasoundMultiframeImageStorage, {"Sono Abdomen", "Sono Schilddrüse"},
         {"Abdomen Übersicht", "Schilddrüse", "Niere li."}, "ABDOMEN"},
        {Modality::SR, "SR", UID_BasicTextSRStorage, {"Befund"}, {"Befundbericht"}, ""},
        {Modality::PDF, "DOC", UID_EncapsulatedPDFStorage, {"Dokument"}, {"Arztbrief"}, ""},
    };
    return table;
}

const ModalityInfo& InfoOf(Modality m) {
    for (const ModalityInfo& i : Modalities())
        if (i.modality == m) return i;
    Fail("unknown modality");
}

// ---- pixels ---------------------------------------------------------------

struct Geometry {
    unsigned rows = 0, columns = 0, frames = 1, samples = 1;
    unsigned bitsAllocated = 16, bitsStored = 12;
    std::string photometric = "MONOCHROME2";
    double pixelSpacing = 0.7;
    std::uint64_t Bytes() const {
        return std::uint64_t(rows) * columns * frames * samples * (bitsAllocated / 8);
    }
};

// Geometry of a `modality` image holding about `pixelBytes` bytes of pixels
// (0: the modality's typical size, seeded variation).
Geometry GeometryFor(Modality modality, std::uint64_t pixelBytes, Rng& rng) {
    Geometry g;
    auto squareFor = [](std::uint64_t bytes, unsigned bytesPerPixel) {
        auto side = static_cast<unsigned>(std::sqrt(double(bytes) / bytesPerPixel));
        side &= ~1u;
        return std::max(side, 16u);
    };
    switch (modality) {
    case Modality::CT:
        g.rows = g.columns = pixelBytes ? squareFor(pixelBytes, 2) : 512;   // 512 KB
        g.pixelSpacing = 350.0 / g.columns;
        break;
    case Modality::MR:
        g.rows = g.columns = pixelBytes ? squareFor(pixelBytes, 2) : (rng.Chance(50) ? 256 : 320);   // 128-200 KB
        g.pixelSpacing = 230.0 / g.columns;
        break;
    case Modality::CR:
        if (pixelBytes) {
            g.rows = g.columns = squareFor(pixelBytes, 2);
        } else {
            g.rows = 2500 + 2 * rng.Below(100);   // about 10 MB
            g.columns = 2048;
        }
        g.pixelSpacing = 430.0 / g.columns;
        break;
    case Modality::US: {
        g.bitsAllocated = g.bitsStored = 8;
        g.samples = 3;
        g.photometric = "RGB";
        const std::uint64_t frameBytes = 640 * 480 * 3;
        if (pixelBytes == 0) pixelBytes = frameBytes * (1 + rng.Below(54));   // up to 50 MB cine loops
        if (pixelBytes >= frameBytes) {
            g.rows = 480;
            g.columns = 640;
            g.frames = static_cast<unsigned>(pixelBytes / frameBytes);
        } else {
            g.rows = g.columns = squareFor(pixelBytes, 3);
        }
        g.pixelSpacing = 0.2;
        break;
    }
    default:
        Fail("not an image modality");
    }
    return g;
}

// Fills the pixels of one image: a body outline with organs whose place
// depends on the slice, a gentle gradient and a little noise, so that
// compression behaves as on real images (neither all zero nor pure noise).
std::vector<std::uint8_t> Pixels(const Geometry& g, Modality modality, std::uint64_t seed, unsigned slice) {
    std::vector<std::uint8_t> out(g.Bytes());
    Rng rng(seed * 7919 + slice);
    const double cx = g.columns / 2.0, cy = g.rows / 2.0;
    const double a = 0.42 * g.columns, b = 0.36 * g.rows;
    struct Organ {
        double x, y, r;
        int value;
    } organs[3];
    for (Organ& o : organs) {
        o.x = cx + (double(rng.Below(1000)) / 1000.0 - 0.5) * a;
        o.y = cy + (double(rng.Below(1000)) / 1000.0 - 0.5) * b;
        o.r = (0.08 + double(rng.Below(100)) / 1000.0 + 0.01 * (slice % 5)) * g.columns;
        o.value = 400 + static_cast<int>(rng.Below(2400));
    }
    const int maxValue = (1 << g.bitsStored) - 1;
    std::uint64_t noise = rng.Next() | 1;
    auto nextNoise = [&noise]() {
        noise ^= noise << 13;
        noise ^= noise >> 7;
        noise ^= noise << 17;
        return static_cast<int>(noise & 0xF);
    };
    std::size_t at = 0;
    for (unsigned f = 0; f < g.frames; ++f) {
        for (unsigned y = 0; y < g.rows; ++y) {
            const double dy = (y - cy) / b;
            for (unsigned x = 0; x < g.columns; ++x) {
                const double dx = (x - cx) / a;
                int v = 0;
                if (modality == Modality::US) {
                    // A fan of speckle below the probe, a colour box inside.
                    const double r = std::hypot(double(x) - cx, double(y));
                    const double angle = std::atan2(double(x) - cx, double(y) + 1.0);
                    int grey = 0;
                    if (r < g.rows * 0.95 && std::fabs(angle) < 0.6) grey = 40 + nextNoise() * 8 + int(r) % 23 + int(f * 3) % 17;
                    const bool box = std::fabs(dx) < 0.15 && std::fabs(dy - 0.1 * std::sin(f * 0.3)) < 0.12;
                    out[at++] = static_cast<std::uint8_t>(std::min(255, box ? grey + 120 : grey));
                    out[at++] = static_cast<std::uint8_t>(std::min(255, grey));
                    out[at++] = static_cast<std::uint8_t>(std::min(255, box ? grey / 2 : grey));
                    continue;
                }
                if (dx * dx + dy * dy <= 1.0) {
                    v = 1000 + static_cast<int>(80 * dy) + nextNoise();
                    for (const Organ& o : organs) {
                        const double ox = x - o.x, oy = y - o.y;
                        if (ox * ox + oy * oy < o.r * o.r) v = o.value + nextNoise();
                    }
                } else if (modality == Modality::CR) {
                    v = 3000 + nextNoise();   // unattenuated exposure around the body
                } else {
                    v = nextNoise() / 4;
                }
                v = std::clamp(v, 0, maxValue);
                out[at++] = static_cast<std::uint8_t>(v & 0xFF);
                out[at++] = static_cast<std::uint8_t>(v >> 8);
            }
        }
    }
    return out;
}

// ---- datasets ---------------------------------------------------------------

struct Patient {
    std::string name;   // UTF-8 "Family^Given"
    std::string family, given;
    std::string id, birthDate, sex;
};

struct StudyInfo {
    std::string uid, date, time, accession, id, description;
    Modality modality;
};

struct SeriesInfo {
    std::string uid, frameOfReference, description;
    Modality modality;
    int number;
    Syntax syntax;
    int nameScheme;          // 0 UID, 1 IM00001, 2 descriptive
    std::string extension;   // ".dcm", ".DCM", ".Dcm"
};

void Put(DcmItem& item, const DcmTagKey& tag, const std::string& value) {
    const OFCondition st = item.putAndInsertString(tag, value.c_str());
    if (st.bad()) Fail(std::string("cannot set ") + DcmTag(tag).getTagName() + ": " + st.text());
}

void PutU16(DcmItem& item, const DcmTagKey& tag, unsigned value) {
    const OFCondition st = item.putAndInsertUint16(tag, static_cast<Uint16>(value));
    if (st.bad()) Fail(std::string("cannot set ") + DcmTag(tag).getTagName() + ": " + st.text());
}

void PutCommon(DcmItem& ds, const Patient& p, const StudyInfo& st, const SeriesInfo& se, const char* sopClass,
               const std::string& sopInstance, int instanceNumber) {
    Put(ds, DCM_SpecificCharacterSet, "ISO_IR 100");
    Put(ds, DCM_SOPClassUID, sopClass);
    Put(ds, DCM_SOPInstanceUID, sopInstance);
    Put(ds, DCM_StudyDate, st.date);
    Put(ds, DCM_SeriesDate, st.date);
    Put(ds, DCM_ContentDate, st.date);
    Put(ds, DCM_StudyTime, st.time);
    Put(ds, DCM_SeriesTime, st.time);
    Put(ds, DCM_ContentTime, st.time);
    Put(ds, DCM_AccessionNumber, st.accession);
    Put(ds, DCM_Modality, InfoOf(se.modality).name);
    Put(ds, DCM_Manufacturer, "Velunor Sample Generator");
    Put(ds, DCM_InstitutionName, Latin1("Klinikum Süd"));
    Put(ds, DCM_ReferringPhysicianName, Latin1("Schäfer^Dr. Ulrike"));
    Put(ds, DCM_StudyDescription, Latin1(st.description));
    Put(ds, DCM_SeriesDescription, Latin1(se.description));
    Put(ds, DCM_PatientName, Latin1(p.name));
    Put(ds, DCM_PatientID, p.id);
    Put(ds, DCM_PatientBirthDate, p.birthDate);
    Put(ds, DCM_PatientSex, p.sex);
    Put(ds, DCM_StudyInstanceUID, st.uid);
    Put(ds, DCM_SeriesInstanceUID, se.uid);
    Put(ds, DCM_StudyID, st.id);
    Put(ds, DCM_SeriesNumber, std::to_string(se.number));
    Put(ds, DCM_InstanceNumber, std::to_string(instanceNumber));
}

void PutImage(DcmItem& ds, const Geometry& g, Modality modality, const SeriesInfo& se,
              const std::vector<std::uint8_t>& pixels, int instanceNumber) {
    Put(ds, DCM_ImageType, modality == Modality::CR ? "ORIGINAL\\PRIMARY" : "ORIGINAL\\PRIMARY\\AXIAL");
    PutU16(ds, DCM_SamplesPerPixel, g.samples);
    Put(ds, DCM_PhotometricInterpretation, g.photometric);
    PutU16(ds, DCM_Rows, g.rows);
    PutU16(ds, DCM_Columns, g.columns);
    PutU16(ds, DCM_BitsAllocated, g.bitsAllocated);
    PutU16(ds, DCM_BitsStored, g.bitsStored);
    PutU16(ds, DCM_HighBit, g.bitsStored - 1);
    PutU16(ds, DCM_PixelRepresentation, 0);
    if (g.samples > 1) PutU16(ds, DCM_PlanarConfiguration, 0);
    Put(ds, DCM_PixelSpacing, FormatDouble(g.pixelSpacing) + "\\" + FormatDouble(g.pixelSpacing));
    Put(ds, DCM_BodyPartExamined, InfoOf(modality).bodyPart);
    if (modality == Modality::CT || modality == Modality::MR) {
        const double thickness = modality == Modality::CT ? 1.25 : 4.0;
        Put(ds, DCM_FrameOfReferenceUID, se.frameOfReference);
        Put(ds, DCM_PositionReferenceIndicator, "");
        Put(ds, DCM_SliceThickness, FormatDouble(thickness));
        Put(ds, DCM_ImagePositionPatient,
            FormatDouble(-g.columns * g.pixelSpacing / 2) + "\\" + FormatDouble(-g.rows * g.pixelSpacing / 2) + "\\" +
                FormatDouble(-100.0 + thickness * instanceNumber));
        Put(ds, DCM_ImageOrientationPatient, "1\\0\\0\\0\\1\\0");
        Put(ds, DCM_SliceLocation, FormatDouble(-100.0 + thickness * instanceNumber));
    }
    if (modality == Modality::CT) {
        Put(ds, DCM_RescaleIntercept, "-1024");
        Put(ds, DCM_RescaleSlope, "1");
        Put(ds, DCM_RescaleType, "HU");
        Put(ds, DCM_KVP, "120");
        Put(ds, DCM_WindowCenter, "40");
        Put(ds, DCM_WindowWidth, "400");
    } else if (modality == Modality::MR) {
        Put(ds, DCM_ScanningSequence, "SE");
        Put(ds, DCM_SequenceVariant, "NONE");
        Put(ds, DCM_ScanOptions, "");
        Put(ds, DCM_MRAcquisitionType, "2D");
        Put(ds, DCM_EchoTime, "90");
        Put(ds, DCM_RepetitionTime, "4000");
        Put(ds, DCM_MagneticFieldStrength, "1.5");
        Put(ds, DCM_WindowCenter, "600");
        Put(ds, DCM_WindowWidth, "1200");
    } else if (modality == Modality::CR) {
        Put(ds, DCM_ViewPosition, "PA");
        Put(ds, DCM_ImagerPixelSpacing, FormatDouble(g.pixelSpacing) + "\\" + FormatDouble(g.pixelSpacing));
        Put(ds, DCM_PatientOrientation, "L\\F");
        Put(ds, DCM_WindowCenter, "2048");
        Put(ds, DCM_WindowWidth, "4096");
    } else if (modality == Modality::US) {
        Put(ds, DCM_NumberOfFrames, std::to_string(g.frames));
        Put(ds, DCM_FrameTime, "33.3");
        const OFCondition st = ds.putAndInsertTagKey(DCM_FrameIncrementPointer, DCM_FrameTime);
        if (st.bad()) Fail(std::string("cannot set FrameIncrementPointer: ") + st.text());
        Put(ds, DCM_PatientOrientation, "");
        PutU16(ds, DCM_RegionSpatialFormat, 1);
    }
    Put(ds, DCM_LossyImageCompression, "00");
    OFCondition st;
    if (g.bitsAllocated == 8) {
        st = ds.putAndInsertUint8Array(DCM_PixelData, pixels.data(), pixels.size());
    } else {
        std::vector<Uint16> words(pixels.size() / 2);
        std::memcpy(words.data(), pixels.data(), words.size() * 2);
        st = ds.putAndInsertUint16Array(DCM_PixelData, words.data(), words.size());
    }
    if (st.bad()) Fail(std::string("cannot set the pixel data: ") + st.text());
}

void PutEmptySequence(DcmItem& item, const DcmTagKey& tag) {
    const OFCondition st = item.insertEmptyElement(tag);
    if (st.bad()) Fail(std::string("cannot set ") + DcmTag(tag).getTagName() + ": " + st.text());
}

void PutCode(DcmItem& parent, const DcmTagKey& sequence, const char* value, const char* scheme, const char* meaning) {
    DcmItem* item = nullptr;
    const OFCondition st = parent.findOrCreateSequenceItem(sequence, item, -2);
    if (st.bad() || !item) Fail("cannot create a code sequence item");
    Put(*item, DCM_CodeValue, value);
    Put(*item, DCM_CodingSchemeDesignator, scheme);
    Put(*item, DCM_CodeMeaning, meaning);
}

void PutReport(DcmItem& ds, const Patient& p, const StudyInfo& st) {
    Put(ds, DCM_ValueType, "CONTAINER");
    PutCode(ds, DCM_ConceptNameCodeSequence, "11528-7", "LN", "Radiology Report");
    Put(ds, DCM_ContinuityOfContent, "SEPARATE");
    Put(ds, DCM_CompletionFlag, "COMPLETE");
    Put(ds, DCM_VerificationFlag, "UNVERIFIED");
    PutEmptySequence(ds, DCM_ReferencedPerformedProcedureStepSequence);
    PutEmptySequence(ds, DCM_PerformedProcedureCodeSequence);
    DcmItem* finding = nullptr;
    if (ds.findOrCreateSequenceItem(DCM_ContentSequence, finding, -2).bad() || !finding)
        Fail("cannot create the report content");
    Put(*finding, DCM_RelationshipType, "CONTAINS");
    Put(*finding, DCM_ValueType, "TEXT");
    PutCode(*finding, DCM_ConceptNameCodeSequence, "121071", "DCM", "Finding");
    Put(*finding, DCM_TextValue,
        Latin1(st.description + " vom " + st.date + " bei " + p.given + " " + p.family +
               ": Kein Nachweis einer akuten Pathologie. Befund unverändert zur Voruntersuchung."));
}

// A small, valid one-page PDF with a line of text.
std::string PdfDocument(const std::string& line) {
    std::string text;
    for (char c : Latin1(line)) {
        if (c == '(' || c == ')' || c == '\\') text += '\\';
        text += c;
    }
    const std::string stream = "BT /F1 12 Tf 72 720 Td (" + text + ") Tj ET";
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t o : offsets) pdf += Format("%010ld", static_cast<long>(o)) + " 00000 n \n";
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

void PutPdf(DcmItem& ds, const Patient& p, const StudyInfo& st) {
    Put(ds, DCM_DocumentTitle, Latin1("Arztbrief " + p.family));
    Put(ds, DCM_MIMETypeOfEncapsulatedDocument, "application/pdf");
    Put(ds, DCM_BurnedInAnnotation, "YES");
    PutEmptySequence(ds, DCM_ConceptNameCodeSequence);
    Put(ds, DCM_AcquisitionDateTime, st.date + st.time);
    std::string pdf = PdfDocument("Arztbrief zu " + st.description + ", " + p.given + " " + p.family);
    if (pdf.size() % 2) pdf += '\n';
    const OFCondition s = ds.putAndInsertUint8Array(DCM_EncapsulatedDocument,
                                                    reinterpret_cast<const Uint8*>(pdf.data()), pdf.size());
    if (s.bad()) Fail(std::string("cannot set the PDF document: ") + s.text());
}

// ---- writing ---------------------------------------------------------------

void RegisterEncodersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        velunor::InitDicomToolkit();   // decoders, dictionary check, logging
        // Never give an instance a new UID: file names and the database
        // refer to the UIDs the generator chose.
        DJEncoderRegistration::registerCodecs(ECC_lossyYCbCr, EUC_never);
        DJLSEncoderRegistration::registerCodecs(0, 0, 0, 0, OFTrue, 0, OFTrue, EJLSUC_never);
        DcmRLEEncoderRegistration::registerCodecs(OFFalse);
        gdcm::Trace::WarningOff();
    });
}

void SaveUncompressed(DcmFileFormat& file, const fs::path& path, E_TransferSyntax xfer) {
    const OFCondition st = file.saveFile(OFFilename(path.c_str()), xfer, EET_ExplicitLength, EGL_recalcGL,
                                         EPD_noChange, 0, 0, EWM_fileformat);
    if (st.bad()) Fail("cannot write " + path.string() + ": " + st.text());
}

void SaveJpeg2000(DcmFileFormat& file, const fs::path& path, bool lossless) {
    const fs::path temporary = path.parent_path() / (".j2k-source-" + path.filename().string());
    SaveUncompressed(file, temporary, EXS_LittleEndianExplicit);
    struct Remove {
        fs::path p;
        ~Remove() {
            std::error_code ec;
            fs::remove(p, ec);
        }
    } remove{temporary};
    gdcm::ImageReader reader;
    reader.SetFileName(temporary.c_str());
    if (!reader.Read()) Fail("GDCM cannot read " + temporary.string());
    gdcm::ImageChangeTransferSyntax change;
    gdcm::JPEG2000Codec codec;
    if (lossless) {
        change.SetTransferSyntax(gdcm::TransferSyntax::JPEG2000Lossless);
    } else {
        change.SetTransferSyntax(gdcm::TransferSyntax::JPEG2000);
        codec.SetReversible(false);
        codec.SetRate(0, 10.0);
        change.SetUserCodec(&codec);
    }
    change.SetInput(reader.GetImage());
    if (!change.Change()) Fail("GDCM cannot encode " + path.string() + " as JPEG 2000");
    gdcm::ImageWriter writer;
    writer.SetImage(change.GetOutput());
    writer.SetFile(reader.GetFile());
    writer.SetFileName(path.c_str());
    if (!writer.Write()) Fail("GDCM cannot write " + path.string());
}

// Some encoders leave the pad byte after an odd-length JPEG stream
// uninitialised; zero it so that the same seed gives the same bytes.
void ZeroFragmentPadding(DcmDataset& ds) {
    DcmElement* element = nullptr;
    if (ds.findAndGetElement(DCM_PixelData, element).bad() || !element) return;
    auto* pixels = static_cast<DcmPixelData*>(element);
    E_TransferSyntax xfer = EXS_Unknown;
    const DcmRepresentationParameter* param = nullptr;
    pixels->getCurrentRepresentationKey(xfer, param);
    DcmPixelSequence* sequence = nullptr;
    if (pixels->getEncapsulatedRepresentation(xfer, param, sequence).bad() || !sequence) return;
    for (unsigned long i = 1; i < sequence->card(); ++i) {
        DcmPixelItem* item = nullptr;
        Uint8* data = nullptr;
        if (sequence->getItem(item, i).bad() || !item || item->getUint8Array(data).bad() || !data) continue;
        const Uint32 length = item->getLength();
        if (length >= 3 && data[length - 3] == 0xFF && data[length - 2] == 0xD9) data[length - 1] = 0;
    }
}

// Writes `file` to `path` in `syntax`; the dataset is changed (compressed)
// on the way.
void Save(DcmFileFormat& file, const fs::path& path, Syntax syntax) {
    RegisterEncodersOnce();
    DcmDataset& ds = *file.getDataset();
    if (syntax == Syntax::Jpeg2000Lossless || syntax == Syntax::Jpeg2000) {
        SaveJpeg2000(file, path, syntax == Syntax::Jpeg2000Lossless);
        return;
    }
    const E_TransferSyntax xfer = DcmXfer(Info(syntax).uid).getXfer();
    if (Info(syntax).compressed) {
        OFCondition st;
        switch (syntax) {
        case Syntax::JpegBaseline:
        case Syntax::JpegExtended: {
            DJ_RPLossy quality(88);
            st = ds.chooseRepresentation(xfer, &quality);
            if (st.good()) Put(ds, DCM_LossyImageCompression, "01");
            break;
        }
        case Syntax::JpegLossless: {
            DJ_RPLossless lossless(1, 0);
            st = ds.chooseRepresentation(xfer, &lossless);
            break;
        }
        case Syntax::JpegLsLossless: {
            DJLSRepresentationParameter lossless(0, OFTrue);
            st = ds.chooseRepresentation(xfer, &lossless);
            break;
        }
        case Syntax::JpegLsNearLossless: {
            DJLSRepresentationParameter near(2, OFFalse);
            st = ds.chooseRepresentation(xfer, &near);
            if (st.good()) Put(ds, DCM_LossyImageCompression, "01");
            break;
        }
        default:
            st = ds.chooseRepresentation(xfer, nullptr);
            break;
        }
        if (st.bad() || !ds.canWriteXfer(xfer))
            Fail("cannot encode " + path.string() + " as " + Info(syntax).name + ": " + st.text());
        ZeroFragmentPadding(ds);
    }
    SaveUncompressed(file, path, xfer);
}

// The syntax an object of `modality` gets when `wanted` was drawn: reports
// and documents stay uncompressed, JPEG baseline takes 8-bit images only.
Syntax Effective(Syntax wanted, Modality modality) {
    if (modality == Modality::SR || modality == Modality::PDF)
        return Info(wanted).compressed ? Syntax::ExplicitLittle : wanted;
    if (wanted == Syntax::JpegBaseline && modality != Modality::US) return Syntax::JpegExtended;
    return wanted;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Fail("cannot write " + path.string());
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    if (!in) Fail("cannot read " + path.string());
    return s.str();
}

// A ZIP at `zipPath` holding `bytes` as the one entry `entryName`, with a
// fixed time stamp so that the archive is the same on every run.
void WriteZip(const fs::path& zipPath, const std::string& entryName, const std::string& bytes) {
    int error = 0;
    zip_t* zip = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
    if (!zip) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        const std::string text = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        Fail("cannot create " + zipPath.string() + ": " + text);
    }
    auto failWith = [&](const std::string& what) {
        const std::string text = zip_strerror(zip);
        zip_discard(zip);
        std::error_code ec;
        fs::remove(zipPath, ec);
        Fail(what + " " + zipPath.string() + ": " + text);
    };
    zip_source_t* source = zip_source_buffer(zip, bytes.data(), bytes.size(), 0);
    if (!source) failWith("cannot fill");
    const zip_int64_t index = zip_file_add(zip, entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        failWith("cannot fill");
    }
    zip_file_set_mtime(zip, static_cast<zip_uint64_t>(index), 1262304000, 0);   // 2010-01-01
    if (zip_close(zip) != 0) failWith("cannot write");
}

// Overwrites bytes in the first JPEG scan of a file, so that the decoder
// meets a damaged entropy-coded segment.
void CorruptJpegScan(const fs::path& path) {
    std::string bytes = ReadBytes(path);
    const std::size_t sos = bytes.find("\xFF\xDA");
    if (sos == std::string::npos || sos + 4 >= bytes.size()) Fail(path.string() + " holds no JPEG scan");
    const std::size_t header =
        (static_cast<unsigned char>(bytes[sos + 2]) << 8) | static_cast<unsigned char>(bytes[sos + 3]);
    const std::size_t start = sos + 2 + header + 16;
    const std::size_t end = bytes.find("\xFF\xD9", start);
    if (end == std::string::npos || end <= start + 8) Fail(path.string() + ": JPEG scan too short");
    const std::size_t stop = std::min(end - 4, start + 200);
    for (std::size_t i = start; i < stop; ++i) bytes[i] = static_cast<char>((i * 37) & 0x7F);
    WriteBytes(path, bytes);
}

std::uint64_t SizeOf(const fs::path& p) {
    std::error_code ec;
    const auto size = fs::file_size(p, ec);
    return ec ? 0 : size;
}

// ---- the archive ---------------------------------------------------------

struct Generator {
    const Options& options;
    Rng rng;
    Archive archive;
    std::vector<Patient> patients;
    std::vector<Syntax> syntaxes;
    std::vector<Modality> imageModalities;
    unsigned syntaxTurn = 0;

    explicit Generator(const Options& o) : options(o), rng(o.seed) {
        archive.options = o;
        for (const SyntaxInfo& s : AllSyntaxes()) syntaxes.push_back(s.syntax);
        if (!o.syntaxes.empty()) syntaxes = o.syntaxes;
        imageModalities = o.modalities.empty()
                              ? std::vector<Modality>{Modality::CT, Modality::MR, Modality::CR, Modality::US}
                              : o.modalities;
        for (Modality m : imageModalities)
            if (m == Modality::SR || m == Modality::PDF) Fail("SR and PDF are added as reports, not as study modalities");
    }

    Patient NewPatient(int number) {
        Patient p;
        p.family = rng.Pick(kFamilyNames);
        p.given = rng.Pick(kGivenNames);
        // The first two patients always carry an apostrophe and umlauts.
        if (number == 0) p.family = "O'Brien";
        if (number == 1) p.family = "Müller";
        p.name = p.family + "^" + p.given;
        p.id = Format("PAT%06ld", 100000 + number * 7 + static_cast<long>(rng.Below(7)));
        p.birthDate = Format("%04ld", 1930 + static_cast<long>(rng.Below(80))) + Format("%02ld", 1 + static_cast<long>(rng.Below(12))) +
                      Format("%02ld", 1 + static_cast<long>(rng.Below(28)));
        p.sex = rng.Chance(50) ? "F" : "M";
        return p;
    }

    static std::string Date(int daysSince2012) {
        using namespace std::chrono;
        const year_month_day ymd{sys_days{year{2012} / January / 1} + days{daysSince2012}};
        return Format("%04ld", static_cast<int>(ymd.year())) + Format("%02ld", static_cast<unsigned>(ymd.month())) +
               Format("%02ld", static_cast<unsigned>(ymd.day()));
    }

    Syntax NextSyntax() { return syntaxes[syntaxTurn++ % syntaxes.size()]; }

    std::string FileStem(const SeriesInfo& se, const Patient& p, const std::string& sopInstance, int instance) {
        switch (se.nameScheme) {
        case 0:
            return sopInstance;
        case 1:
            return Format("IM%05ld", instance);
        default:   // the series number keeps names apart where case is ignored
            return p.family + " " + p.given + " " + se.description + " " + std::to_string(se.number) +
                   Format("-%02ld", instance);
        }
    }

    // Writes one DICOM object of the study; returns the files made.
    File WriteObject(const fs::path& folder, const Patient& p, const StudyInfo& st, const SeriesInfo& se,
                     int instance, bool zipped, std::uint64_t imageSeed) {
        const std::string sopInstance = NewUid(rng);
        const std::string stem = FileStem(se, p, sopInstance, instance);
        DcmFileFormat file;
        DcmDataset& ds = *file.getDataset();
        PutCommon(ds, p, st, se, InfoOf(se.modality).sopClass, sopInstance, instance);
        if (se.modality == Modality::SR) {
            PutReport(ds, p, st);
        } else if (se.modality == Modality::PDF) {
            PutPdf(ds, p, st);
        } else {
            Rng geometryRng(imageSeed);
            const Geometry g = GeometryFor(se.modality, options.fileBytes, geometryRng);
            PutImage(ds, g, se.modality, se, Pixels(g, se.modality, imageSeed, static_cast<unsigned>(instance)), instance);
        }
        File f;
        f.kind = zipped ? File::Kind::Zip : File::Kind::Dicom;
        f.syntax = Info(se.syntax).name;
        f.modality = InfoOf(se.modality).name;
        f.sopInstanceUid = sopInstance;
        if (!zipped) {
            f.path = folder / (stem + se.extension);
            if (fs::exists(f.path)) Fail(f.path.string() + " exists already");
            Save(file, f.path, se.syntax);
        } else {
            // The DICOM file goes into "<stem>.zip" as "<stem>.dcm", the
            // name the staging copy looks for.
            const std::string zipExtension = se.extension == ".DCM" ? ".ZIP" : se.extension == ".Dcm" ? ".Zip" : ".zip";
            f.path = folder / (stem + zipExtension);
            const fs::path inner = folder / (".zip-entry-" + stem + ".dcm");
            Save(file, inner, se.syntax);
            const std::string bytes = ReadBytes(inner);
            fs::remove(inner);
            WriteZip(f.path, stem + ".dcm", bytes);
        }
        f.bytes = SizeOf(f.path);
        return f;
    }

    // A file the staging copy cannot read, of the kind `variant` selects.
    File WriteUnreadable(const fs::path& folder, const Patient& p, const StudyInfo& st, SeriesInfo se, int variant,
                         bool zipped) {
        File f;
        f.kind = File::Kind::Unreadable;
        f.modality = InfoOf(se.modality).name;
        if (zipped) variant = 4;
        switch (variant % 5) {
        case 0: {   // a DICOM file cut in the middle of its pixel data
            se.nameScheme = 1;
            File whole = WriteObject(folder, p, st, se, 99999, false, rng.Next());
            const std::string bytes = ReadBytes(whole.path);
            WriteBytes(whole.path, bytes.substr(0, bytes.size() * 2 / 3));
            f.path = whole.path;
            f.problem = "truncated";
            break;
        }
        case 1:   // a text file under a DICOM name
            f.path = folder / "Befund.dcm";
            WriteBytes(f.path, Latin1("Befund " + st.description + "\r\nDiktat folgt.\r\n"));
            f.problem = "not DICOM";
            break;
        case 2:   // an empty file
            f.path = folder / "IM00000.dcm";
            WriteBytes(f.path, "");
            f.problem = "empty";
            break;
        case 3: {   // a JPEG stream damaged inside
            se.syntax = Syntax::JpegLossless;
            se.nameScheme = 1;
            File whole = WriteObject(folder, p, st, se, 99998, false, rng.Next());
            CorruptJpegScan(whole.path);
            f.path = whole.path;
            f.problem = "corrupt JPEG data";
            break;
        }
        default: {   // an archive without the entry named after it
            f.path = folder / "Serie 9.zip";
            WriteZip(f.path, "Serie_9_IM00001.dcm", "not the file the archive is named after");
            f.problem = "ZIP without \"Serie 9.dcm\"";
            break;
        }
        }
        f.bytes = SizeOf(f.path);
        return f;
    }

    void WriteExtras(Study& study, const Patient& p, const StudyInfo& st, const SeriesInfo& se) {
        const fs::path folder = study.folder;
        const unsigned kind = rng.Below(4);
        if (kind == 0 || kind == 3) {
            File f{folder / "readme.txt", File::Kind::Other, "", "", "", "", 0};
            WriteBytes(f.path, "Exported by PACS archive\r\n");
            f.bytes = SizeOf(f.path);
            study.files.push_back(f);
        }
        if (kind == 1) {
            File f{folder / "Thumbs.db", File::Kind::Other, "", "", "", "", 0};
            std::string junk(512, '\0');
            for (char& c : junk) c = static_cast<char>(rng.Below(256));
            WriteBytes(f.path, junk);
            f.bytes = SizeOf(f.path);
            study.files.push_back(f);
        }
        if (kind >= 2) {   // earlier findings in a subfolder: never staged
            const fs::path sub = folder / "Vorbefunde";
            fs::create_directories(sub);
            SeriesInfo old = se;
            old.nameScheme = 1;
            old.extension = ".dcm";
            study.ignored.push_back(WriteObject(sub, p, st, old, 1, false, rng.Next()));
        }
    }

    void MakeStudy(int index, bool migrated) {
        const Root& root = archive.roots[(options.roots == 2 && index % 3 == 2) ? 1 : 0];
        const std::size_t patientIndex = index < 2 ? std::min<std::size_t>(static_cast<std::size_t>(index), patients.size() - 1)
                                                    : rng.Below(static_cast<unsigned>(patients.size()));
        const Patient& p = patients[patientIndex];
        StudyInfo st;
        st.modality = imageModalities[rng.Below(static_cast<unsigned>(imageModalities.size()))];
        st.uid = NewUid(rng);
        st.date = Date(static_cast<int>(rng.Below(13 * 365)));
        st.time = Format("%02ld", 7 + static_cast<long>(rng.Below(12))) + Format("%02ld", static_cast<long>(rng.Below(60))) +
                  Format("%02ld", static_cast<long>(rng.Below(60)));
        st.accession = Format("ACC%07ld", 1000000 + index * 13 + static_cast<long>(rng.Below(13)));
        st.id = std::to_string(1000 + index);
        st.description = rng.Pick(InfoOf(st.modality).studyDescriptions);

        const std::string y = st.date.substr(0, 4), m = st.date.substr(4, 2), d = st.date.substr(6, 2);
        const unsigned folderKind = rng.Below(100);
        std::string leaf;
        if (folderKind < 60)
            leaf = y + "/" + m + "/" + d + "/" + st.accession;
        else if (folderKind < 85)
            leaf = y + "/" + m + "/" + d + "/" + p.family + " " + p.given + " " + st.id;
        else
            leaf = y + "/" + p.id + "_" + st.date + "_" + st.id;

        Study& s = archive.studies.emplace_back();
        s.studyId = index + 1;
        s.archiveId = root.archiveId;
        s.studyUid = st.uid;
        s.directory1 = migrated ? "migrated/" + leaf : leaf;
        s.patientName = p.name;
        s.patientId = p.id;
        s.modality = InfoOf(st.modality).name;
        s.zipped = rng.Chance(static_cast<unsigned>(options.zipPercent));
        s.folder = root.folder / s.directory1;
        const fs::path folder = s.folder;
        if (fs::exists(folder)) Fail(folder.string() + " exists already");
        fs::create_directories(folder);

        // Reports: the first study carries an SR report, the second a PDF,
        // later ones by chance.
        int reportSlots = 0;
        Modality reportModality = Modality::SR;
        if (options.reports && options.filesPerStudy >= 2) {
            if (index == 0 || (index > 1 && rng.Chance(20))) {
                reportSlots = 1;
            } else if (index == 1 || rng.Chance(12)) {
                reportSlots = 1;
                reportModality = Modality::PDF;
            }
        }
        const int images = options.filesPerStudy - reportSlots;
        const int seriesCount = std::max(1, std::min(images, 1 + static_cast<int>(rng.Below(3))));
        const std::vector<std::string> extensions = {".dcm", ".DCM", ".Dcm"};

        SeriesInfo lastSeries{};
        bool numberedNamesUsed = false;   // "IM00001" names fit one series per folder
        for (int sIndex = 0; sIndex < seriesCount + reportSlots; ++sIndex) {
            SeriesInfo se;
            se.modality = sIndex < seriesCount ? st.modality : reportModality;
            se.uid = NewUid(rng);
            se.frameOfReference = NewUid(rng);
            se.number = sIndex < seriesCount ? sIndex + 1 : 900 + sIndex;
            se.description = rng.Pick(InfoOf(se.modality).seriesDescriptions);
            se.syntax = Effective(NextSyntax(), se.modality);
            se.nameScheme = static_cast<int>(rng.Below(3));
            if (index < 2 && sIndex == 0) se.nameScheme = 2;   // the patient's name in the file names
            if (se.nameScheme == 1 && numberedNamesUsed) se.nameScheme = 0;
            if (se.nameScheme == 1) numberedNamesUsed = true;
            se.extension = extensions[rng.Below(3)];
            const int inSeries = sIndex < seriesCount ? (images / seriesCount + (sIndex < images % seriesCount ? 1 : 0)) : 1;
            for (int i = 1; i <= inSeries; ++i) {
                s.files.push_back(WriteObject(folder, p, st, se, i, s.zipped, rng.Next()));
            }
            if (sIndex == 0) lastSeries = se;
        }
        if (options.extras && rng.Chance(35)) WriteExtras(s, p, st, lastSeries);
    }

    Archive Run() {
        if (options.studies < 0 || options.studies > 100000) Fail("the number of studies must be 0..100000");
        if (options.filesPerStudy < 1 || options.filesPerStudy > 10000) Fail("files per study must be 1..10000");
        if (options.fileBytes != 0 && (options.fileBytes < 4096 || options.fileBytes > (1ull << 30)))
            Fail("the file size must be 0 (typical sizes) or 4 KB .. 1 GB");
        if (options.roots < 1 || options.roots > 2) Fail("there are one or two archive roots");
        if (options.zipPercent < 0 || options.zipPercent > 100) Fail("the ZIP share is a percentage, 0..100");
        if (options.unreadable < 0 || options.unreadable > options.studies)
            Fail("there can be at most one unreadable file per study");
        if (options.carryOver < 0 || options.carryOver > options.studies)
            Fail("the carry-over studies are taken from the studies made");
        if (options.migrated < 0 || options.migrated > 100000) Fail("the number of migrated studies must be 0..100000");
        if (syntaxes.empty()) Fail("no transfer syntax selected");

        fs::create_directories(options.out);
        const fs::path out = fs::absolute(options.out).lexically_normal();
        for (int r = 1; r <= options.roots; ++r) {
            Root root;
            root.archiveId = r;
            root.folder = out / ("archive" + std::to_string(r));
            fs::create_directories(root.folder);
            if (r == 1) {
                root.unc = root.folder.string();
            } else {
                root.path = root.folder.string();
                if (options.offlineUnc) root.unc = (out / "offline-share").string();
            }
            archive.roots.push_back(root);
        }
        const int total = options.studies + options.migrated;
        for (int i = 0; i < std::max(1, total / 2 + 1); ++i) patients.push_back(NewPatient(i));
        for (int i = 0; i < total; ++i) {
            MakeStudy(i, i >= options.studies);
            Study& s = archive.studies.back();
            if (i < options.carryOver) s.directory2 = "DVD " + std::to_string(options.lastDisc);
        }

        // Unreadable files, spread over the studies.
        for (int u = 0; u < options.unreadable; ++u) {
            const int index = static_cast<int>((static_cast<long>(u) * options.studies) / options.unreadable);
            Study& s = archive.studies[static_cast<std::size_t>(index)];
            const Patient p{s.patientName, "", "", s.patientId, "19700101", "O"};
            StudyInfo st;
            st.uid = s.studyUid;
            st.date = "20200101";
            st.time = "120000";
            st.accession = "ACC9999999";
            st.id = std::to_string(1000 + index);
            st.description = "Nachtrag";
            st.modality = Modality::CT;
            SeriesInfo se;
            se.modality = Modality::CT;
            se.uid = NewUid(rng);
            se.frameOfReference = NewUid(rng);
            se.number = 99;
            se.description = "Nachtrag";
            se.syntax = Syntax::ExplicitLittle;
            se.nameScheme = 1;
            se.extension = ".dcm";
            s.files.push_back(WriteUnreadable(s.folder, p, st, se, u, s.zipped));
            s.readable = false;
        }
        return archive;
    }
};

}  // namespace

// ---- public ----------------------------------------------------------------

const std::vector<SyntaxInfo>& AllSyntaxes() {
    static const std::vector<SyntaxInfo> table = {
        {Syntax::ExplicitLittle, "explicit-le", "1.2.840.10008.1.2.1", true, false},
        {Syntax::ImplicitLittle, "implicit-le", "1.2.840.10008.1.2", true, false},
        {Syntax::ExplicitBig, "explicit-be", "1.2.840.10008.1.2.2", true, false},
        {Syntax::Deflated, "deflated", "1.2.840.10008.1.2.1.99", true, false},
        {Syntax::JpegBaseline, "jpeg-baseline", "1.2.840.10008.1.2.4.50", false, true},
        {Syntax::JpegExtended, "jpeg-extended", "1.2.840.10008.1.2.4.51", false, true},
        {Syntax::JpegLossless, "jpeg-lossless", "1.2.840.10008.1.2.4.70", true, true},
        {Syntax::JpegLsLossless, "jpeg-ls", "1.2.840.10008.1.2.4.80", true, true},
        {Syntax::JpegLsNearLossless, "jpeg-ls-near", "1.2.840.10008.1.2.4.81", false, true},
        {Syntax::Rle, "rle", "1.2.840.10008.1.2.5", true, true},
        {Syntax::Jpeg2000Lossless, "j2k-lossless", "1.2.840.10008.1.2.4.90", true, true},
        {Syntax::Jpeg2000, "j2k", "1.2.840.10008.1.2.4.91", false, true},
    };
    return table;
}

const SyntaxInfo& Info(Syntax syntax) {
    for (const SyntaxInfo& s : AllSyntaxes())
        if (s.syntax == syntax) return s;
    Fail("unknown transfer syntax");
}

std::optional<Syntax> SyntaxByName(const std::string& name) {
    for (const SyntaxInfo& s : AllSyntaxes())
        if (name == s.name) return s.syntax;
    return std::nullopt;
}

const char* ModalityName(Modality m) { return InfoOf(m).name; }

std::optional<Modality> ModalityByName(const std::string& name) {
    if (name == "PDF") return Modality::PDF;
    for (const ModalityInfo& m : Modalities())
        if (name == m.name) return m.modality;
    return std::nullopt;
}

std::uint64_t Archive::TotalBytes() const {
    std::uint64_t total = 0;
    for (const Study& s : studies) {
        for (const File& f : s.files) total += f.bytes;
        for (const File& f : s.ignored) total += f.bytes;
    }
    return total;
}

int Archive::DicomFiles() const {
    int n = 0;
    for (const Study& s : studies)
        for (const File& f : s.files)
            if (f.kind == File::Kind::Dicom || f.kind == File::Kind::Zip) ++n;
    return n;
}

Archive GenerateArchive(const Options& options) {
    RegisterEncodersOnce();
    Generator generator(options);
    return generator.Run();
}

std::string WriteImage(const fs::path& path, Modality modality, Syntax syntax, std::uint64_t pixelBytes,
                       std::uint64_t seed) {
    RegisterEncodersOnce();
    Rng rng(seed);
    const Patient p{"Müller^Jörg", "Müller", "Jörg", "PAT000001", "19650304", "M"};
    StudyInfo st{NewUid(rng), "20200304", "101500", "ACC0000001", "1", "Test", modality};
    SeriesInfo se{NewUid(rng), NewUid(rng), "Test", modality, 1, Effective(syntax, modality), 1, ".dcm"};
    const std::string sopInstance = NewUid(rng);
    DcmFileFormat file;
    DcmDataset& ds = *file.getDataset();
    PutCommon(ds, p, st, se, InfoOf(modality).sopClass, sopInstance, 1);
    if (modality == Modality::SR) {
        PutReport(ds, p, st);
    } else if (modality == Modality::PDF) {
        PutPdf(ds, p, st);
    } else {
        Rng geometryRng(seed);
        const Geometry g = GeometryFor(modality, pixelBytes, geometryRng);
        PutImage(ds, g, modality, se, Pixels(g, modality, seed, 1), 1);
    }
    Save(file, path, se.syntax);
    return sopInstance;
}

std::string Describe(const Archive& archive) {
    std::ostringstream out;
    auto mb = [](std::uint64_t bytes) {
        std::ostringstream s;
        s << std::fixed << std::setprecision(1);
        if (bytes < 1000000)
            s << double(bytes) / 1e3 << " KB";
        else
            s << double(bytes) / 1e6 << " MB";
        return s.str();
    };
    out << "Archive written below " << fs::absolute(archive.options.out).lexically_normal().string() << " (seed "
        << archive.options.seed << ")\n";
    for (const Root& r : archive.roots) {
        out << "  root " << r.archiveId << ": " << r.folder.string() << "  ArchiveUNC="
            << (r.unc ? "'" + *r.unc + "'" : "NULL") << " ArchivePath=" << (r.path ? "'" + *r.path + "'" : "NULL")
            << "\n";
    }
    out << "StudyID Root Mod Files Size       Syntaxes / notes / StudyDirectory1\n";
    int unreadable = 0, zipped = 0, other = 0;
    for (const Study& s : archive.studies) {
        std::uint64_t bytes = 0;
        int dicom = 0;
        std::vector<std::string> syntaxes;
        std::string notes;
        for (const File& f : s.files) {
            bytes += f.bytes;
            if (f.kind == File::Kind::Dicom || f.kind == File::Kind::Zip) {
                ++dicom;
                if (std::find(syntaxes.begin(), syntaxes.end(), f.syntax) == syntaxes.end()) syntaxes.push_back(f.syntax);
            } else if (f.kind == File::Kind::Unreadable) {
                ++unreadable;
                notes += " [unreadable: " + f.path.filename().string() + ", " + f.problem + "]";
            } else {
                ++other;
            }
        }
        if (s.zipped) {
            ++zipped;
            notes += " [ZIP]";
        }
        if (!s.ignored.empty()) notes += " [subfolder]";
        if (s.directory2) notes += " [StudyDirectory2 '" + *s.directory2 + "']";
        std::string syntaxText;
        for (const std::string& x : syntaxes) syntaxText += (syntaxText.empty() ? "" : ",") + x;
        char line[96];
        std::snprintf(line, sizeof line, "%7d %4d %-3s %5d %-10s ", s.studyId, s.archiveId, s.modality.c_str(), dicom,
                      mb(bytes).c_str());
        out << line << syntaxText << notes << "\n" << std::string(35, ' ') << s.directory1 << "\n";
    }
    out << "Total: " << archive.studies.size() << " studies (" << zipped << " as ZIP archives), "
        << archive.DicomFiles() << " DICOM files, " << unreadable << " unreadable files, " << other
        << " other files, " << mb(archive.TotalBytes()) << "\n";
    return out.str();
}

namespace {

std::optional<std::string> RootValue(const std::optional<std::string>& v) { return v; }

}  // namespace

void WriteSqliteDatabase(const Archive& archive, const fs::path& file) {
    try {
        CreateSqliteArchive(file);
        try {
            auto db = OpenDatabase("SQLite3", file.string(), "", 60);
            db->Execute("BEGIN");
            for (const Root& r : archive.roots)
                db->Execute("INSERT INTO tblArchives (ArchiveID, ArchiveUNC, ArchivePath) VALUES (?, ?, ?)",
                            {std::to_string(r.archiveId), RootValue(r.unc), RootValue(r.path)});
            for (const Study& s : archive.studies)
                db->Execute(
                    "INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) "
                    "VALUES (?, ?, ?, ?, ?)",
                    {std::to_string(s.studyId), s.studyUid, s.directory1, s.directory2, std::to_string(s.archiveId)});
            db->Execute("COMMIT");
        } catch (...) {
            std::error_code ec;
            fs::remove(file, ec);
            throw;
        }
    } catch (const velunor::Error& e) {
        Fail("cannot write the database " + file.string() + ": " + e.what());
    }
}

namespace {

std::string Literal(const std::optional<std::string>& v) {
    if (!v) return "NULL";
    std::string out = "'";
    for (char c : *v) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

}  // namespace

void WritePostgresInserts(const Archive& archive, const fs::path& file) {
    std::ostringstream sql;
    sql << "-- Rows of a generated sample archive (seed " << archive.options.seed << ").\n"
        << "-- Load after the archive schema: psql -d ARCDB2 -f <this file>\n"
        << "SET client_encoding = 'UTF8';\n"
        << "BEGIN;\n";
    for (const Root& r : archive.roots)
        sql << "INSERT INTO tblArchives (ArchiveID, ArchiveUNC, ArchivePath) VALUES (" << r.archiveId << ", "
            << Literal(r.unc) << ", " << Literal(r.path) << ");\n";
    for (const Study& s : archive.studies)
        sql << "INSERT INTO tblStudies (StudyID, StudyUID, StudyDirectory1, StudyDirectory2, ArchiveID) VALUES ("
            << s.studyId << ", " << Literal(s.studyUid) << ", " << Literal(s.directory1) << ", "
            << Literal(s.directory2) << ", " << s.archiveId << ");\n";
    sql << "COMMIT;\n";
    WriteBytes(file, sql.str());
}

}  // namespace velunor::archive
