// JPEG 2000 decoding through GDCM. DCMTK's free codecs cannot decode JPEG
// 2000; GDCM (over OpenJPEG) can. The DCMTK dataset is handed to GDCM as a
// complete file in memory, GDCM decodes the pixel data, and the raw pixels go
// back into the DCMTK dataset, which then writes the file as usual.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <gdcmImage.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmPhotometricInterpretation.h>
#include <gdcmTrace.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/error.hpp"

namespace velunor {

namespace {

// The file in transfer syntax `xfer`, as bytes.
std::string Serialize(DcmFileFormat& file, E_TransferSyntax xfer, const std::string& name) {
    std::string bytes;
    std::vector<char> chunk(1 << 20);
    DcmOutputBufferStream stream(chunk.data(), static_cast<offile_off_t>(chunk.size()));
    file.transferInit();
    OFCondition status = EC_StreamNotifyClient;
    // Each round fills at most one chunk; a file needs size / chunk rounds.
    for (int round = 0; status == EC_StreamNotifyClient && round < (1 << 20); ++round) {
        status = file.write(stream, xfer, EET_ExplicitLength, nullptr, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                            EWM_updateMeta);
        void* data = nullptr;
        offile_off_t length = 0;
        stream.flushBuffer(data, length);
        bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    file.transferEnd();
    if (status.bad())
        throw Error(status.code(), name + ": cannot hand the compressed pixel data to GDCM: " + status.text());
    return bytes;
}

// GDCM's collected messages, shortened for an error text.
std::string TraceText(const std::ostringstream& trace) {
    std::string text = trace.str();
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    if (text.size() > 400) text = text.substr(0, 400) + "...";
    return text.empty() ? "" : "(GDCM: " + text + ")";
}

std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::uint32_t BigEndian(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

// What the image size segment (SIZ) of a JPEG 2000 codestream says: the
// image's size without its offset, its components and the most bits any
// of them holds.
struct Jpeg2000Image {
    std::uint32_t width = 0, height = 0;
    unsigned components = 0;
    unsigned precision = 0;
};

// What the DICOM attributes say of the image.
struct PixelDescription {
    unsigned samples = 1, rows = 0, columns = 0, bitsAllocated = 8;
};

// True when the marker segments of a JPEG 2000 codestream, walked from its
// start, lie inside `size` bytes up to the start of the tile data (SOD),
// the image size segment (SIZ) holding its component descriptions and the
// coding style segment (COD) the ten bytes that describe the transform.
// `image` gets what SIZ says of the image. Markers without a length:
// 0xFF30..0xFF3F, SOC, SOD, EOC, EPH.
bool CodestreamWalkable(const std::uint8_t* p, std::size_t size, Jpeg2000Image& image) {
    std::size_t at = 0;
    while (size - at >= 2) {
        const std::uint32_t marker = BigEndian(p + at, 2);
        at += 2;
        if (marker == 0xFF93) return true;   // SOD
        if ((marker >= 0xFF30 && marker <= 0xFF3F) || marker == 0xFF4F || marker == 0xFFD9 || marker == 0xFF92)
            continue;
        if (size - at < 2) return false;
        const std::uint32_t length = BigEndian(p + at, 2);
        at += 2;
        if (length < 2 || length - 2 > size - at) return false;
        if (marker == 0xFF51) {   // SIZ: 36 bytes, then 3 per component
            if (length - 2 < 36) return false;
            const std::uint32_t width = BigEndian(p + at + 2, 4), height = BigEndian(p + at + 6, 4);
            const std::uint32_t left = BigEndian(p + at + 10, 4), top = BigEndian(p + at + 14, 4);
            if (left >= width || top >= height) return false;
            image.width = width - left;
            image.height = height - top;
            image.components = BigEndian(p + at + 34, 2);
            if (length - 2 < 36 + 3 * image.components) return false;
            for (unsigned c = 0; c < image.components; ++c) {
                const std::uint8_t* component = p + at + 36 + 3 * c;
                image.precision = std::max(image.precision, unsigned(component[0] & 0x7F) + 1);
                if (component[1] == 0 || component[2] == 0) return false;   // subsampling 0 is no image
            }
        }
        if (marker == 0xFF52) {   // COD: multiple component transform and wavelet
            if (size - at < 10 || p[at + 4] > 1 || p[at + 9] > 1) return false;
            if (p[at + 9] == 0) return true;   // irreversible: the header walk ends here
        }
        at += length - 2;
    }
    return false;
}

// The same for a JP2 file: its boxes lie inside `size` bytes, and the
// codestream box (jp2c) holds a walkable codestream. A palette box (pclr)
// in the header box makes OpenJPEG return other components than the
// codestream holds, so the component count is 0 then.
bool Jp2Walkable(const std::uint8_t* p, std::size_t size, Jpeg2000Image& image) {
    bool palette = false;
    std::size_t at = 0;
    while (size - at >= 8) {
        std::uint64_t length = BigEndian(p + at, 4);
        const std::uint32_t type = BigEndian(p + at + 4, 4);
        at += 8;
        std::uint64_t header = 8;
        if (length == 1) {
            if (size - at < 8) return false;
            length = (std::uint64_t(BigEndian(p + at, 4)) << 32) | BigEndian(p + at + 4, 4);
            at += 8;
            header = 16;
        }
        if (length == 0 && type == 0x6A703263) length = size - at + header;   // jp2c up to the end
        if (length < header || length - header > size - at) return false;
        const std::size_t content = static_cast<std::size_t>(length - header);
        if (type == 0x6A703263) {
            const bool walkable = CodestreamWalkable(p + at, content, image);
            if (palette) image.components = 0;
            return walkable;
        }
        if (type == 0x6A703268) {   // jp2h: look for pclr among its boxes
            for (std::size_t inner = 0; content - inner >= 8;) {
                const std::uint32_t innerLength = BigEndian(p + at + inner, 4);
                if (BigEndian(p + at + inner + 4, 4) == 0x70636C72) palette = true;
                if (innerLength < 8 || innerLength > content - inner) break;
                inner += innerLength;
            }
        }
        at += content;
    }
    return false;
}

// A JPEG 2000 frame as GDCM reads it: a JP2 file when it starts with the
// JP2 signature box, else a codestream.
bool Jpeg2000Walkable(const std::vector<std::uint8_t>& frame, Jpeg2000Image& image) {
    static const std::uint8_t kSignature[13] = {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A, 0};
    image = Jpeg2000Image{};
    if (frame.size() < sizeof kSignature) return false;
    if (std::memcmp(frame.data(), kSignature, sizeof kSignature) == 0)
        return Jp2Walkable(frame.data(), frame.size(), image);
    return CodestreamWalkable(frame.data(), frame.size(), image);
}

// GDCM 3.0 walks the marker segments of each JPEG 2000 frame (and of the
// first fragment) without checking their lengths against the data: a
// damaged stream makes it read past the end and crash the process. So the
// same walk is done here first, with bounds, and a frame it cannot finish
// is refused as damaged. GDCM also asserts (and so aborts the process) when
// a frame holds another number of components than the image has samples
// per pixel, and it sizes its output by the DICOM attributes but fills it
// by the codestream's size and precision, writing past the end when those
// are larger: a frame that differs from `described` in any of these is
// refused too. Throws velunor::Error.
void RequireSoundJpeg2000(DcmDataset& dataset, const std::string& name, const PixelDescription& described) {
    const Error damaged(0, name + ": the JPEG 2000 pixel data is damaged (its marker segments overrun the data)");
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element || element->ident() != EVR_PixelData)
        throw Error(0, name + ": no encapsulated JPEG 2000 pixel data");
    DcmPixelSequence* sequence = nullptr;
    if (static_cast<DcmPixelData*>(element)
            ->getEncapsulatedRepresentation(dataset.getOriginalXfer(), nullptr, sequence)
            .bad() ||
        !sequence || sequence->card() < 2)
        throw Error(0, name + ": no encapsulated JPEG 2000 pixel data");
    std::vector<std::vector<std::uint8_t>> fragments;
    for (unsigned long i = 1; i < sequence->card(); ++i) {   // item 0 is the offset table
        DcmPixelItem* item = nullptr;
        Uint8* bytes = nullptr;
        if (sequence->getItem(item, i).bad() || !item || item->getUint8Array(bytes).bad()) throw damaged;
        fragments.emplace_back(bytes, bytes + (bytes ? item->getLength() : 0));
    }
    auto check = [&](const std::vector<std::uint8_t>& frame) {
        Jpeg2000Image image;
        if (!Jpeg2000Walkable(frame, image)) throw damaged;
        std::string differs;
        if (image.components != described.samples)
            differs = std::to_string(image.components) + " components where the image describes " +
                      std::to_string(described.samples) + " samples per pixel";
        else if (image.width != described.columns || image.height != described.rows)
            differs = std::to_string(image.width) + " x " + std::to_string(image.height) +
                      " pixels where the image describes " + std::to_string(described.columns) + " x " +
                      std::to_string(described.rows);
        else if (image.precision > described.bitsAllocated)
            differs = std::to_string(image.precision) + "-bit samples where the image allocates " +
                      std::to_string(described.bitsAllocated) + " bits";
        if (!differs.empty())
            throw Error(0, name + ": the JPEG 2000 pixel data holds " + differs + "; it is not decoded");
    };
    Sint32 frames = 1;
    dataset.findAndGetSint32(DCM_NumberOfFrames, frames);
    check(fragments.front());
    if (frames > 1) {
        for (const auto& fragment : fragments) check(fragment);
    } else if (fragments.size() > 1) {
        std::vector<std::uint8_t> whole;
        for (const auto& fragment : fragments) whole.insert(whole.end(), fragment.begin(), fragment.end());
        check(whole);
    }
}

// What GDCM needs to decode the pixel data, and nothing more: the SOP
// class and instance, the Image Pixel module, the frame count and the
// pixel data. GDCM (Debian builds it with assertions on) aborts the whole
// process when an attribute it reads has a VR other than the dictionary's,
// such as a Frame Increment Pointer that is no AT: so an element is handed
// over only when its VR is the dictionary's, and nothing else is.
std::unique_ptr<DcmFileFormat> PixelsOnly(DcmDataset& dataset) {
    static const DcmTagKey kNeeded[] = {
        DCM_SOPClassUID,  DCM_SOPInstanceUID, DCM_SamplesPerPixel, DCM_PhotometricInterpretation,
        DCM_Rows,         DCM_Columns,        DCM_BitsAllocated,   DCM_BitsStored,
        DCM_HighBit,      DCM_PixelRepresentation, DCM_PlanarConfiguration, DCM_NumberOfFrames,
    };
    auto copy = std::make_unique<DcmFileFormat>();
    DcmDataset& target = *copy->getDataset();
    for (const DcmTagKey& key : kNeeded) {
        DcmElement* element = nullptr;
        if (dataset.findAndGetElement(key, element).bad() || !element) continue;
        if (element->ident() != DcmTag(key).getEVR()) continue;
        target.insert(static_cast<DcmElement*>(element->clone()), true);
    }
    DcmElement* pixels = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, pixels).good() && pixels)
        target.insert(static_cast<DcmElement*>(pixels->clone()), true);
    return copy;
}

// GDCM also asserts on pixel descriptions no image has (Samples per Pixel
// 0 or 5, say), so only a plausible one is handed over: 1, 3 or 4 samples,
// 8, 16 or 32 bits allocated, 1 to that many stored, the high bit among
// them, a pixel representation and planar configuration of 0 or 1, at
// least one row and column, and a photometric interpretation that names
// that many samples. Returns the description. Throws velunor::Error
// naming what is wrong.
PixelDescription RequirePlausiblePixelDescription(DcmDataset& pixels, const std::string& name) {
    auto value = [&pixels](const DcmTagKey& key, Uint16 fallback) {
        Uint16 v = fallback;
        return pixels.findAndGetUint16(key, v).good() ? v : fallback;
    };
    const Uint16 samples = value(DCM_SamplesPerPixel, 1);
    const Uint16 allocated = value(DCM_BitsAllocated, 8);
    const Uint16 stored = value(DCM_BitsStored, allocated);
    const Uint16 high = value(DCM_HighBit, static_cast<Uint16>(stored - 1));
    const Uint16 representation = value(DCM_PixelRepresentation, 0);
    const Uint16 planar = value(DCM_PlanarConfiguration, 0);
    const Uint16 rows = value(DCM_Rows, 0), columns = value(DCM_Columns, 0);
    std::string wrong;
    if (samples != 1 && samples != 3 && samples != 4) wrong = "Samples per Pixel " + std::to_string(samples);
    else if (allocated != 8 && allocated != 16 && allocated != 32) wrong = "Bits Allocated " + std::to_string(allocated);
    else if (stored < 1 || stored > allocated) wrong = "Bits Stored " + std::to_string(stored);
    else if (high >= allocated) wrong = "High Bit " + std::to_string(high);
    else if (representation > 1) wrong = "Pixel Representation " + std::to_string(representation);
    else if (planar > 1) wrong = "Planar Configuration " + std::to_string(planar);
    else if (rows == 0 || columns == 0) wrong = std::to_string(rows) + " rows, " + std::to_string(columns) + " columns";
    else {
        // GDCM asserts that the photometric interpretation implies the
        // samples per pixel.
        const std::string photometric = GetString(pixels, DCM_PhotometricInterpretation);
        static const struct {
            const char* name;
            Uint16 samples;
        } kKnown[] = {{"MONOCHROME1", 1},     {"MONOCHROME2", 1}, {"PALETTE COLOR", 1}, {"RGB", 3},
                      {"HSV", 3},             {"YBR_FULL", 3},    {"YBR_FULL_422", 3},  {"YBR_PARTIAL_422", 3},
                      {"YBR_PARTIAL_420", 3}, {"YBR_ICT", 3},     {"YBR_RCT", 3},       {"ARGB", 4},
                      {"CMYK", 4}};
        bool matches = false;
        for (const auto& k : kKnown)
            if (photometric == k.name) matches = k.samples == samples;
        if (!matches)
            wrong = "Photometric Interpretation \"" + photometric + "\" with " + std::to_string(samples) +
                    " samples per pixel";
    }
    if (!wrong.empty())
        throw Error(0, name + ": the image's pixel description cannot be right (" + wrong +
                           "); its JPEG 2000 pixel data is not decoded");
    return PixelDescription{samples, rows, columns, allocated};
}

}  // namespace

void DecodeWithGdcm(DcmFileFormat& file, const std::string& name) {
    std::unique_ptr<DcmFileFormat> handed = PixelsOnly(*file.getDataset());
    const PixelDescription described = RequirePlausiblePixelDescription(*handed->getDataset(), name);
    RequireSoundJpeg2000(*file.getDataset(), name, described);

    // GDCM reports through its own trace streams; keep its messages for the
    // error text instead of the console.
    std::ostringstream trace;
    gdcm::Trace::SetErrorStream(trace);
    gdcm::Trace::SetWarningStream(trace);
    struct RestoreTrace {
        ~RestoreTrace() {
            gdcm::Trace::SetErrorStream(std::cerr);
            gdcm::Trace::SetWarningStream(std::cerr);
        }
    } restore;

    std::stringstream input;
    input.str(Serialize(*handed, file.getDataset()->getOriginalXfer(), name));
    handed.reset();
    gdcm::ImageReader reader;
    reader.SetStream(input);
    if (!reader.Read()) throw Error(0, name + ": GDCM cannot read the JPEG 2000 dataset " + TraceText(trace));

    gdcm::ImageChangeTransferSyntax change;
    change.SetTransferSyntax(gdcm::TransferSyntax::ImplicitVRLittleEndian);
    change.SetInput(reader.GetImage());
    if (!change.Change()) throw Error(0, name + ": the JPEG 2000 pixel data cannot be decoded " + TraceText(trace));

    const gdcm::Image& image = change.GetOutput();
    const gdcm::ByteValue* pixels = image.GetDataElement().GetByteValue();
    if (!pixels || pixels->GetLength() == 0)
        throw Error(0, name + ": GDCM decoded no pixel data from the JPEG 2000 stream");

    const gdcm::PixelFormat& format = image.GetPixelFormat();
    DcmDataset& dataset = *file.getDataset();
    const char* data = pixels->GetPointer();
    const unsigned long length = pixels->GetLength();
    OFCondition status;
    if (format.GetBitsAllocated() <= 8) {
        status = dataset.putAndInsertUint8Array(DCM_PixelData, reinterpret_cast<const Uint8*>(data), length);
    } else {
        // GDCM delivers little-endian words, the host order here.
        std::vector<Uint16> words(length / 2);
        std::memcpy(words.data(), data, words.size() * 2);
        status = dataset.putAndInsertUint16Array(DCM_PixelData, words.data(), words.size());
    }
    if (status.good()) status = dataset.putAndInsertUint16(DCM_SamplesPerPixel, format.GetSamplesPerPixel());
    if (status.good()) status = dataset.putAndInsertUint16(DCM_BitsAllocated, format.GetBitsAllocated());
    if (status.good()) status = dataset.putAndInsertUint16(DCM_BitsStored, format.GetBitsStored());
    if (status.good()) status = dataset.putAndInsertUint16(DCM_HighBit, format.GetHighBit());
    if (status.good()) status = dataset.putAndInsertUint16(DCM_PixelRepresentation, format.GetPixelRepresentation());
    if (status.good())
        status = dataset.putAndInsertString(
            DCM_PhotometricInterpretation,
            Trimmed(gdcm::PhotometricInterpretation::GetPIString(image.GetPhotometricInterpretation())).c_str());
    if (status.good() && format.GetSamplesPerPixel() > 1)
        status = dataset.putAndInsertUint16(DCM_PlanarConfiguration,
                                            static_cast<Uint16>(image.GetPlanarConfiguration()));
    if (status.bad())
        throw Error(status.code(), name + ": cannot store the decoded pixel data: " + status.text());
}

}  // namespace velunor
