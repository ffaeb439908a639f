// A disc's printable label: "DVD n", when it was written, and its studies
// (patient name, patient ID, study date, modalities, description) as its
// DICOMDIR lists them. The disc face takes up to kStudiesOnDiscFace studies;
// a longer list goes onto a DVD case insert (183 x 273 mm pages) and the
// face then shows the first of them and how many more the insert holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/run.hpp"

class QPagedPaintDevice;

namespace velunor {

// One study of a disc, every text in UTF-8.
struct LabelStudy {
    std::string patientName;   // "Family, Given" ('^' replaced)
    std::string patientId;
    std::string studyDate;     // YYYY-MM-DD, or as recorded when it is no date
    std::string modalities;    // of its series, "CT, SR"
    std::string description;
};

struct DiscLabelContent {
    std::string label;         // "DVD 12"
    std::string written;       // YYYY-MM-DD, "" when unknown
    std::vector<LabelStudy> studies;
};

inline constexpr int kStudiesOnDiscFace = 8;

// The studies of a DICOMDIR held in memory, in its order; names decoded
// from the record's Specific Character Set (ISO_IR 100, ISO_IR 192 and the
// others DCMTK converts; bytes that are no valid text in it are read as
// ISO 8859-1). Throws velunor::Error when the bytes are no DICOMDIR.
std::vector<LabelStudy> StudiesOfDicomDir(const std::vector<std::uint8_t>& bytes, const std::string& name);

// The label of a disc just recorded, from the DICOMDIR of its staging tree
// (what was written and verified), written today. Throws velunor::Error
// when that DICOMDIR cannot be read.
DiscLabelContent StagedDiscLabel(const StagedDisc& disc, MediaProfile profile);

// Draws the label onto `device` (a QPdfWriter or a QPrinter): the disc face
// on the first page (120 x 120 mm), the case insert on the pages after it.
// Needs a QGuiApplication.
void PaintDiscLabel(QPagedPaintDevice& device, const DiscLabelContent& content);

// The label as a PDF file, and as a PNG picture (the pages one below the
// other, 200 dpi). Each makes a QGuiApplication for itself (platform
// "offscreen") when the process has no Qt application. Throw velunor::Error
// when the file cannot be written; the file is replaced atomically.
void WriteLabelPdf(const DiscLabelContent& content, const std::filesystem::path& file);
void WriteLabelPng(const DiscLabelContent& content, const std::filesystem::path& file);

}  // namespace velunor
