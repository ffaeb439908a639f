// JPEG 2000 decoding through GDCM. DCMTK's free codecs cannot decode JPEG
// 2000; GDCM (over OpenJPEG) can. The DCMTK dataset is handed to GDCM as a
// complete file in memory, GDCM decodes the pixel data, and the raw pixels go
// back into the DCMTK dataset, which then writes the file as usual.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <gdcmImage.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmPhotometricInterpretation.h>
#include <gdcmTrace.h>

#include <cstring>
#include <iostream>
#include <sstream>

#include "app/error.hpp"

namespace velunor {

namespace {

// The file in its original transfer syntax, as bytes.
std::string Serialize(DcmFileFormat& file, const std::string& name) {
    const E_TransferSyntax xfer = file.getDataset()->getOriginalXfer();
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

}  // namespace

void DecodeWithGdcm(DcmFileFormat& file, const std::string& name) {
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

    std::stringstream input(Serialize(file, name));
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
