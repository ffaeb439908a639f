// Decoding a compressed multi-frame image one frame at a time while its file
// is written. DCMTK decodes a whole image at once and holds it beside the
// compressed one: an ultrasound cine loop of 50 MB on disk can be 2 GB
// decoded. Here each frame is decoded on its own, in a dataset that holds
// the image's other elements and that one frame, and its pixels go
// straight to the file; memory holds one frame.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "app/error.hpp"

namespace velunor {
namespace {

// Writes nothing when `fd` < 0 (the frames are only checked).
void WriteAll(int fd, const void* data, std::size_t size, const std::string& target) {
    if (fd < 0) return;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowTargetWrite(errno, target);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Empties `fd` again for the caller's other way of writing.
bool Abandon(int fd, const std::string& target) {
    if (fd < 0) return false;
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        const int err = errno;
        throw Error(err, "Cannot write " + target + ": " + std::strerror(err));
    }
    return false;
}

// A dataset with every element of `dataset` but `pixels`, and as pixel data
// only `fragment` (the compressed frame) in the `xfer` representation, with
// Number of Frames 1. The fragment's value stays in the source file until
// the decoder reads it.
std::unique_ptr<DcmDataset> OneFrameDataset(DcmDataset& dataset, const DcmElement* pixels, E_TransferSyntax xfer,
                                            const DcmPixelItem& fragment) {
    auto frame = std::make_unique<DcmDataset>();
    for (unsigned long i = 0; i < dataset.card(); ++i) {
        DcmElement* element = dataset.getElement(i);
        if (!element || element == pixels) continue;
        frame->insert(OFstatic_cast(DcmElement*, element->clone()), OFTrue);
    }
    frame->putAndInsertString(DCM_NumberOfFrames, "1");
    auto sequence = std::make_unique<DcmPixelSequence>(DcmTag(DCM_PixelData, EVR_OB));
    sequence->insert(std::make_unique<DcmPixelItem>(DcmTag(DCM_Item, EVR_OB)).release());   // empty offset table
    sequence->insert(std::make_unique<DcmPixelItem>(fragment).release());
    auto framePixels = std::make_unique<DcmPixelData>(DcmTag(DCM_PixelData, EVR_OB));
    framePixels->putOriginalRepresentation(xfer, nullptr, sequence.release());
    frame->insert(framePixels.release(), OFTrue);
    return frame;
}

Uint16 GetUint16(DcmItem& item, const DcmTagKey& tag) {
    Uint16 value = 0;
    return item.findAndGetUint16(tag, value).good() ? value : 0;
}

// The attributes that say how decoded pixels are laid out; every frame must
// decode to the same layout as the first, whose attributes the file gets.
bool SameLayout(DcmItem& a, DcmItem& b) {
    const DcmTagKey numbers[] = {DCM_Rows, DCM_Columns, DCM_SamplesPerPixel, DCM_BitsAllocated, DCM_BitsStored,
                                 DCM_HighBit, DCM_PixelRepresentation, DCM_PlanarConfiguration};
    if (GetString(a, DCM_PhotometricInterpretation) != GetString(b, DCM_PhotometricInterpretation)) return false;
    for (const DcmTagKey& tag : numbers)
        if (GetUint16(a, tag) != GetUint16(b, tag) || a.tagExists(tag) != b.tagExists(tag)) return false;
    return true;
}

}  // namespace

bool WriteDecodingFrames(DicomDataset::Impl& impl, int out, E_TransferSyntax xfer, bool withMeta,
                         const std::string& target) {
    DcmDataset& dataset = *impl.file.getDataset();
    if (dataset.card() == 0 || (xfer != EXS_LittleEndianImplicit && xfer != EXS_LittleEndianExplicit)) return false;
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element || element->ident() != EVR_PixelData)
        return false;
    // Appended after the rest, so it must be the last element, and no group
    // length may count it.
    if (dataset.getElement(dataset.card() - 1) != element || dataset.tagExists(DcmTagKey(0x7FE0, 0x0000)))
        return false;
    auto& pixels = static_cast<DcmPixelData&>(*element);

    E_TransferSyntax compressed = EXS_Unknown;
    const DcmRepresentationParameter* parameter = nullptr;
    pixels.getOriginalRepresentationKey(compressed, parameter);
    const DcmXfer compressedXfer(compressed);
    // JPEG 2000 has no DCMTK decoder; it goes through GDCM, whole.
    const bool dcmtkCodec = compressedXfer.isEncapsulated() && compressed != EXS_JPEG2000LosslessOnly &&
                            compressed != EXS_JPEG2000 && compressed != EXS_JPEG2000MulticomponentLosslessOnly &&
                            compressed != EXS_JPEG2000Multicomponent;
    if (!dcmtkCodec || pixels.hasRepresentation(xfer, nullptr)) return false;
    DcmPixelSequence* sequence = nullptr;
    if (pixels.getEncapsulatedRepresentation(compressed, parameter, sequence).bad() || !sequence) return false;

    Sint32 frames = 0;
    if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 2) return false;
    if (sequence->card() != static_cast<unsigned long>(frames) + 1) return false;   // one fragment per frame
    const std::uint64_t rows = GetUint16(dataset, DCM_Rows), columns = GetUint16(dataset, DCM_Columns);
    const std::uint64_t samples = GetUint16(dataset, DCM_SamplesPerPixel);
    const std::uint64_t bits = GetUint16(dataset, DCM_BitsAllocated);
    if (rows == 0 || columns == 0 || samples == 0 || bits == 0 || bits % 8 != 0) return false;
    const std::uint64_t frameBytes = rows * columns * samples * (bits / 8);
    const std::uint64_t total = frameBytes * static_cast<std::uint64_t>(frames);
    const std::uint64_t padded = total + (total % 2);
    if (padded >= 0xFFFFFFFFull) return false;

    DcmElement* framesElement = nullptr;
    if (dataset.findAndGetElement(DCM_NumberOfFrames, framesElement).bad() || !framesElement) return false;

    std::unique_ptr<DcmDataset> first;   // frame 1 decoded: the layout every frame must have
    for (Sint32 k = 1; k <= frames; ++k) {
        DcmPixelItem* fragment = nullptr;
        if (sequence->getItem(fragment, static_cast<unsigned long>(k)).bad() || !fragment) return Abandon(out, target);
        std::unique_ptr<DcmDataset> frame = OneFrameDataset(dataset, element, compressed, *fragment);
        {
            DcmtkMessages messages;
            const OFCondition status = frame->chooseRepresentation(xfer, nullptr);
            if (status.bad() || !messages.entries().empty() || !frame->canWriteXfer(xfer))
                return Abandon(out, target);
        }
        DcmElement* decoded = nullptr;
        Uint8* bytes = nullptr;
        if (frame->findAndGetElement(DCM_PixelData, decoded).bad() || !decoded ||
            decoded->getUint8Array(bytes).bad() || !bytes || decoded->getLength() < frameBytes)
            return Abandon(out, target);

        if (k == 1) {
            // The file's elements are those of frame 1 after decoding (the
            // codec may change the photometric interpretation, the planar
            // configuration and more), with the image's Number of Frames.
            DcmFileFormat header;
            DcmDataset& headerSet = *header.getDataset();
            for (unsigned long i = 0; i < frame->card(); ++i) {
                DcmElement* e = frame->getElement(i);
                if (!e || e->getTag() == DCM_PixelData) continue;
                headerSet.insert(OFstatic_cast(DcmElement*, e->clone()), OFTrue);
            }
            headerSet.insert(OFstatic_cast(DcmElement*, framesElement->clone()), OFTrue);
            if (withMeta) {
                DcmMetaInfo& meta = *impl.file.getMetaInfo();
                for (unsigned long i = 0; i < meta.card(); ++i)
                    if (DcmElement* e = meta.getElement(i))
                        header.getMetaInfo()->insert(OFstatic_cast(DcmElement*, e->clone()), OFTrue);
            }
            if (out >= 0) WriteThroughDcmtk(header, out, xfer, withMeta, target);
            const std::vector<unsigned char> pixelHeader =
                PixelDataHeader(xfer, decoded->getVR(), static_cast<Uint32>(padded));
            if (pixelHeader.empty()) return Abandon(out, target);
            WriteAll(out, pixelHeader.data(), pixelHeader.size(), target);
        } else if (!SameLayout(*first, *frame)) {
            return Abandon(out, target);
        }
        WriteAll(out, bytes, static_cast<std::size_t>(frameBytes), target);
        if (k == 1) first = std::move(frame);
    }
    if (padded != total) WriteAll(out, "", 1, target);
    return true;
}

}  // namespace velunor
