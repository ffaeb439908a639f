// DicomDirBuilder over DCMTK's DicomDirInterface.
//
// DicomDirInterface builds the record hierarchy (patient, study, series and
// one record per file, typed by SOP class, with the required keys), but only
// from files it reads itself, under conformant DICOM file IDs. The builder
// has read every file already (DicomCollection::ReadFile, which stops short
// of the pixel data as DCMTK's own read does), so it runs the interface's
// checks and record builders (protected members, hence the derived class
// RecordMaker) on that dataset: each file is read once. Every record is
// given the file's real path relative to the disc root ("1\name") as its
// Referenced File ID, which DCMTK would have mangled (it drops every
// character but A-Z, 0-9 and "_"). The records collect under a root of
// their own; WriteDicomDir hands them to a DcmDicomDir that writes the file
// under a temporary name in the target folder and renames it.
#include "dicom/dcmtk_support.hpp"

#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcdirrec.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <system_error>

#include "app/error.hpp"

namespace fs = std::filesystem;

namespace velunor {

namespace {

constexpr const char* kFilesetId = "VELUNOR";
constexpr std::size_t kMaxComponents = 8;   // DICOM's limit for a file ID

// Work folders of earlier versions of the builder, which linked the staged
// files into them under conformant names.
constexpr const char* kWorkPrefix = "velunor-dicomdir-";
constexpr const char* kWorkLock = ".owner";
constexpr const char* kWorkLockNew = ".owner-new";   // its name until it is locked

// Removes the work folders that builders of processes that have ended left
// behind (a killed run cannot remove its own). Their hard links would keep
// the staged files' data on disk after the staging tree is emptied. A work
// folder is known to be abandoned when its lock file exists and can be
// locked: the owner holds the lock for as long as it lives. Never throws.
void RemoveAbandonedWorkFolders(const fs::path& temp) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(temp, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind(kWorkPrefix, 0) != 0 || it->is_symlink() || !it->is_directory())
            continue;
        int fd = ::open((it->path() / kWorkLock).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        // An owner killed while setting its folder up left the lock file
        // under its first name (still nothing linked in), which it locks
        // the moment it creates it.
        if (fd < 0) fd = ::open((it->path() / kWorkLockNew).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            // Not even that: killed right after creating the folder, or an
            // owner about to create its lock file this very moment. A
            // minute later it is surely the former.
            std::error_code age;
            const auto written = fs::last_write_time(it->path(), age);
            if (!age && fs::file_time_type::clock::now() - written > std::chrono::minutes(1)) {
                std::error_code rm;
                fs::remove_all(it->path(), rm);
            }
            continue;
        }
        const bool abandoned = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (abandoned) {
            std::error_code rm;
            fs::remove_all(it->path(), rm);
        }
        ::close(fd);
    }
}

// `text` in ISO 8859-1 when it is valid UTF-8 made only of characters up to
// U+00FF; otherwise `text` unchanged. DICOM readers decode a Referenced File
// ID in the default repertoire extended by ISO 8859-1, so "Müller" must be
// stored as one byte 0xFC to be found again.
std::string ToLatin1IfPossible(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            i += 2;
        } else {
            return text;
        }
    }
    return out;
}

// A file ID component as DICOM allows it: 1 to 8 of A-Z, 0-9 and "_".
bool ConformantComponent(const std::string& c) {
    return !c.empty() && c.size() <= 8 && std::all_of(c.begin(), c.end(), [](char ch) {
        return (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
    });
}

// "1/name" -> "1\name" (as DICOM separates file ID components), checked;
// with `conformant`, every component must be one DICOM allows.
std::string ReferencedFileId(const std::string& relativePath, bool conformant) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = relativePath.find('/', start);
        components.push_back(relativePath.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (components.size() > kMaxComponents)
        throw Error(0, "\"" + relativePath + "\" has more than 8 path components, more than a DICOMDIR can refer to");
    std::string id;
    for (const std::string& c : components) {
        if (c.empty() || c == "." || c == "..")
            throw Error(0, "\"" + relativePath + "\" is not a path relative to the disc root");
        if (c.find('\\') != std::string::npos)
            throw Error(0, "\"" + relativePath +
                               "\" holds a backslash, which separates the components of a DICOM file ID; "
                               "the DICOMDIR cannot refer to it");
        if (conformant && !ConformantComponent(c))
            throw Error(0, "\"" + relativePath + "\" is no DICOM file ID (each part 1 to 8 of A-Z, 0-9, _); "
                           "a general-purpose DICOMDIR cannot refer to it");
        if (!id.empty()) id += '\\';
        id += ToLatin1IfPossible(c);
    }
    return id;
}


// The record type DCMTK gives a file of `sopClass` below its series (its
// default: an image), as DicomDirInterface::addDicomFile chooses it.
E_DirRecType InstanceRecordType(const OFString& sopClass) {
    static const std::map<std::string, E_DirRecType> types = {
    {UID_RETIRED_StandaloneOverlayStorage, ERT_Overlay}, {UID_RETIRED_StandaloneModalityLUTStorage, ERT_ModalityLut},
    {UID_RETIRED_StandaloneVOILUTStorage, ERT_VoiLut}, {UID_RETIRED_StandaloneCurveStorage, ERT_Curve},
    {UID_RETIRED_StandalonePETCurveStorage, ERT_Curve}, {UID_BasicTextSRStorage, ERT_SRDocument},
    {UID_EnhancedSRStorage, ERT_SRDocument}, {UID_ComprehensiveSRStorage, ERT_SRDocument},
    {UID_Comprehensive3DSRStorage, ERT_SRDocument}, {UID_ExtensibleSRStorage, ERT_SRDocument},
    {UID_ProcedureLogStorage, ERT_SRDocument}, {UID_MammographyCADSRStorage, ERT_SRDocument},
    {UID_ChestCADSRStorage, ERT_SRDocument}, {UID_ColonCADSRStorage, ERT_SRDocument},
    {UID_XRayRadiationDoseSRStorage, ERT_SRDocument}, {UID_EnhancedXRayRadiationDoseSRStorage, ERT_SRDocument},
    {UID_RadiopharmaceuticalRadiationDoseSRStorage, ERT_SRDocument},
    {UID_SpectaclePrescriptionReportStorage, ERT_SRDocument},
    {UID_MacularGridThicknessAndVolumeReportStorage, ERT_SRDocument},
    {UID_ImplantationPlanSRDocumentStorage, ERT_SRDocument}, {UID_AcquisitionContextSRStorage, ERT_SRDocument},
    {UID_SimplifiedAdultEchoSRStorage, ERT_SRDocument}, {UID_PatientRadiationDoseSRStorage, ERT_SRDocument},
    {UID_PerformedImagingAgentAdministrationSRStorage, ERT_SRDocument},
    {UID_PlannedImagingAgentAdministrationSRStorage, ERT_SRDocument},
    {UID_GrayscaleSoftcopyPresentationStateStorage, ERT_Presentation},
    {UID_ColorSoftcopyPresentationStateStorage, ERT_Presentation},
    {UID_PseudoColorSoftcopyPresentationStateStorage, ERT_Presentation},
    {UID_BlendingSoftcopyPresentationStateStorage, ERT_Presentation},
    {UID_XAXRFGrayscaleSoftcopyPresentationStateStorage, ERT_Presentation},
    {UID_GrayscalePlanarMPRVolumetricPresentationStateStorage, ERT_Presentation},
    {UID_CompositingPlanarMPRVolumetricPresentationStateStorage, ERT_Presentation},
    {UID_AdvancedBlendingPresentationStateStorage, ERT_Presentation},
    {UID_VolumeRenderingVolumetricPresentationStateStorage, ERT_Presentation},
    {UID_SegmentedVolumeRenderingVolumetricPresentationStateStorage, ERT_Presentation},
    {UID_MultipleVolumeRenderingVolumetricPresentationStateStorage, ERT_Presentation},
    {UID_BasicStructuredDisplayStorage, ERT_Presentation}, {UID_TwelveLeadECGWaveformStorage, ERT_Waveform},
    {UID_GeneralECGWaveformStorage, ERT_Waveform}, {UID_AmbulatoryECGWaveformStorage, ERT_Waveform},
    {UID_HemodynamicWaveformStorage, ERT_Waveform}, {UID_CardiacElectrophysiologyWaveformStorage, ERT_Waveform},
    {UID_BasicVoiceAudioWaveformStorage, ERT_Waveform}, {UID_GeneralAudioWaveformStorage, ERT_Waveform},
    {UID_ArterialPulseWaveformStorage, ERT_Waveform}, {UID_RespiratoryWaveformStorage, ERT_Waveform},
    {UID_RoutineScalpElectroencephalogramWaveformStorage, ERT_Waveform},
    {UID_ElectromyogramWaveformStorage, ERT_Waveform}, {UID_ElectrooculogramWaveformStorage, ERT_Waveform},
    {UID_SleepElectroencephalogramWaveformStorage, ERT_Waveform},
    {UID_MultichannelRespiratoryWaveformStorage, ERT_Waveform}, {UID_BodyPositionWaveformStorage, ERT_Waveform},
    {UID_RTDoseStorage, ERT_RTDose}, {UID_RTStructureSetStorage, ERT_RTStructureSet},
    {UID_RTPlanStorage, ERT_RTPlan}, {UID_RTIonPlanStorage, ERT_RTPlan},
    {UID_RTBeamsTreatmentRecordStorage, ERT_RTTreatRecord}, {UID_RTBrachyTreatmentRecordStorage, ERT_RTTreatRecord},
    {UID_RTTreatmentSummaryRecordStorage, ERT_RTTreatRecord},
    {UID_RTIonBeamsTreatmentRecordStorage, ERT_RTTreatRecord}, {UID_RETIRED_StoredPrintStorage, ERT_StoredPrint},
    {UID_KeyObjectSelectionDocumentStorage, ERT_KeyObjectDoc}, {UID_SpatialRegistrationStorage, ERT_Registration},
    {UID_DeformableSpatialRegistrationStorage, ERT_Registration}, {UID_SpatialFiducialsStorage, ERT_Fiducial},
    {UID_RawDataStorage, ERT_RawData}, {UID_MRSpectroscopyStorage, ERT_Spectroscopy},
    {UID_EncapsulatedPDFStorage, ERT_EncapDoc}, {UID_EncapsulatedCDAStorage, ERT_EncapDoc},
    {UID_EncapsulatedSTLStorage, ERT_EncapDoc}, {UID_EncapsulatedOBJStorage, ERT_EncapDoc},
    {UID_EncapsulatedMTLStorage, ERT_EncapDoc}, {UID_RealWorldValueMappingStorage, ERT_ValueMap},
    {UID_HangingProtocolStorage, ERT_HangingProtocol}, {UID_StereometricRelationshipStorage, ERT_Stereometric},
    {UID_ColorPaletteStorage, ERT_Palette}, {UID_SurfaceSegmentationStorage, ERT_Surface},
    {UID_LensometryMeasurementsStorage, ERT_Measurement}, {UID_AutorefractionMeasurementsStorage, ERT_Measurement},
    {UID_KeratometryMeasurementsStorage, ERT_Measurement},
    {UID_SubjectiveRefractionMeasurementsStorage, ERT_Measurement},
    {UID_VisualAcuityMeasurementsStorage, ERT_Measurement},
    {UID_OphthalmicAxialMeasurementsStorage, ERT_Measurement},
    {UID_IntraocularLensCalculationsStorage, ERT_Measurement},
    {UID_OphthalmicVisualFieldStaticPerimetryMeasurementsStorage, ERT_Measurement},
    {UID_GenericImplantTemplateStorage, ERT_Implant}, {UID_ImplantTemplateGroupStorage, ERT_ImplantGroup},
    {UID_ImplantAssemblyTemplateStorage, ERT_ImplantAssy}, {UID_RTBeamsDeliveryInstructionStorage, ERT_Plan},
    {UID_RTBrachyApplicationSetupDeliveryInstructionStorage, ERT_Plan},
    {UID_SurfaceScanMeshStorage, ERT_SurfaceScan}, {UID_SurfaceScanPointCloudStorage, ERT_SurfaceScan},
    {UID_TractographyResultsStorage, ERT_Tract}, {UID_ContentAssessmentResultsStorage, ERT_Assessment},
    {UID_RTPhysicianIntentStorage, ERT_Radiotherapy}, {UID_RTSegmentAnnotationStorage, ERT_Radiotherapy},
    {UID_RTRadiationSetStorage, ERT_Radiotherapy}, {UID_CArmPhotonElectronRadiationStorage, ERT_Radiotherapy},
    {UID_TomotherapeuticRadiationStorage, ERT_Radiotherapy}, {UID_RoboticArmRadiationStorage, ERT_Radiotherapy},
    {UID_RTRadiationRecordSetStorage, ERT_Radiotherapy}, {UID_RTRadiationSalvageRecordStorage, ERT_Radiotherapy},
    {UID_TomotherapeuticRadiationRecordStorage, ERT_Radiotherapy},
    {UID_CArmPhotonElectronRadiationRecordStorage, ERT_Radiotherapy},
    {UID_RoboticRadiationRecordStorage, ERT_Radiotherapy},
    {UID_RTRadiationSetDeliveryInstructionStorage, ERT_Radiotherapy},
    {UID_RTTreatmentPreparationStorage, ERT_Radiotherapy},
    {UID_MicroscopyBulkSimpleAnnotationsStorage, ERT_Annotation}
    };
    const auto it = types.find(sopClass.c_str());
    return it == types.end() ? ERT_Image : it->second;
}

// DicomDirInterface working on datasets read already. Add() does what
// addDicomFile() does after loading the file: the same checks, the same
// records through the same builders, invented values in invent mode.
class RecordMaker : public DicomDirInterface {
public:
    OFCondition Start(E_ApplicationProfile profile) { return selectApplicationProfile(profile); }

    // `name` stands for the file in DCMTK's messages.
    OFCondition Add(DcmDirectoryRecord& root, DcmFileFormat& file, const OFString& fileId, const OFFilename& name) {
        OFCondition status = Check(file, name);
        if (status.bad()) return status;
        DcmMetaInfo* meta = file.getMetaInfo();
        OFString sopClass;
        meta->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass);
        // These hang below the root, as DCMTK places them.
        static const std::map<std::string, E_DirRecType> rootLevel = {
            {UID_HangingProtocolStorage, ERT_HangingProtocol},
            {UID_ColorPaletteStorage, ERT_Palette},
            {UID_GenericImplantTemplateStorage, ERT_Implant},
            {UID_ImplantAssemblyTemplateStorage, ERT_ImplantGroup},
            {UID_ImplantTemplateGroupStorage, ERT_ImplantAssy}};
        const auto top = rootLevel.find(sopClass.c_str());
        if (top != rootLevel.end())
            return Record(&root, top->second, file, fileId, name) ? EC_Normal : EC_CorruptedData;
        DcmDirectoryRecord* patient = Record(&root, ERT_Patient, file, fileId, name);
        if (!patient) {
            status = EC_CorruptedData;
        } else if (!sopClass.empty() && sopClass == UID_RETIRED_DetachedPatientManagementMetaSOPClass) {
            status = patient->assignToSOPFile(fileId.c_str(), name);
            DCMDATA_ERROR(status.text() << ": cannot assign patient record to file: " << name);
            if (status.good()) status = patient->putAndInsertString(DCM_ReferencedFileID, fileId.c_str());
        } else {
            DcmDirectoryRecord* study = Record(patient, ERT_Study, file, fileId, name);
            DcmDirectoryRecord* series = study ? Record(study, ERT_Series, file, fileId, name) : nullptr;
            if (!series || !Record(series, InstanceRecordType(sopClass), file, fileId, name))
                status = EC_CorruptedData;
        }
        if (inventMode()) {
            inventMissingAttributes(&root);
            found_.clear();   // a patient may have got an ID
        }
        return status;
    }

private:
    // The checks of DicomDirInterface::loadAndCheckDicomFile on a loaded file.
    OFCondition Check(DcmFileFormat& file, const OFFilename& name) {
        DcmMetaInfo* meta = file.getMetaInfo();
        DcmDataset* dataset = file.getDataset();
        OFCondition status = EC_Normal;
        if (!meta || meta->card() == 0) {
            DCMDATA_ERROR("file not in part 10 format (no file meta information): " << name);
            status = EC_FileMetaInfoHeaderMissing;
        }
        if (!dataset || dataset->card() == 0) {
            DCMDATA_ERROR("file contains no data (no data set): " << name);
            status = EC_CorruptedData;
        }
        if (status.good()) status = checkSOPClassAndXfer(meta, dataset, name);
        if (status.good() && checkMandatoryAttributes(meta, dataset, name).bad()) status = EC_ApplicationProfileViolated;
        return status;
    }

    // The record of `type` below `parent` for this file: the one there is,
    // or a new one. DCMTK names the file of a new record by an ID it builds
    // from the name (dropping all but A-Z, 0-9 and "_"): the real one
    // replaces it.
    DcmDirectoryRecord* Record(DcmDirectoryRecord* parent, E_DirRecType type, DcmFileFormat& file,
                               const OFString& fileId, const OFFilename& name) {
        const std::string key = Key(type, file.getDataset());
        const auto at = key.empty() ? found_.end() : found_.find({parent, key});
        if (at != found_.end() && recordMatchesDataset(at->second, file.getDataset())) {
            // What addRecord does with a record that exists (no consistency check).
            if (at->second->getRecordsOriginFile().isEmpty()) at->second->setRecordsOriginFile(name);
            return at->second;
        }
        DcmDirectoryRecord* record = addRecord(parent, type, &file, fileId, name);
        if (record && !key.empty()) found_.emplace(std::make_pair(parent, key), record);
        const char* origin = record ? record->getRecordsOriginFile().getCharPointer() : nullptr;
        if (origin && std::strcmp(origin, name.getCharPointer()) == 0 && record->tagExists(DCM_ReferencedFileID) &&
            record->putAndInsertString(DCM_ReferencedFileID, fileId.c_str()).bad())
            return nullptr;
        return record;
    }

    // What DCMTK matches a patient, study or series record by (a record
    // matches when its value is the dataset's, and not empty), tagged by
    // the kind; "" for other records, and where nothing can match.
    std::string Key(E_DirRecType type, DcmItem* dataset) {
        OFString value;
        switch (type) {
            case ERT_Patient:
                if (checkExistsWithValue(dataset, DCM_PatientID))
                    return Tagged('I', getStringFromDataset(dataset, DCM_PatientID, value));
                return Tagged('N', getStringFromDataset(dataset, DCM_PatientName, value));
            case ERT_Study: return Tagged('S', getStringFromDataset(dataset, DCM_StudyInstanceUID, value));
            case ERT_Series: return Tagged('E', getStringFromDataset(dataset, DCM_SeriesInstanceUID, value));
            default: return "";
        }
    }
    static std::string Tagged(char kind, const OFString& value) {
        return value.empty() ? std::string() : kind + std::string(value.c_str(), value.length());
    }

    // DCMTK looks for an existing record through all records below the
    // parent, each time; these are the ones it found or made, by parent and
    // key. A record it finds first is the first that matches, and records
    // change their keys only when values are invented.
    std::map<std::pair<DcmDirectoryRecord*, std::string>, DcmDirectoryRecord*> found_;
};

}  // namespace

struct DicomDirBuilder::Impl {
    explicit Impl(MediaProfile p) : profile(p), root(ERT_root, nullptr, OFFilename()) {}
    const MediaProfile profile;
    RecordMaker maker;
    DcmDirectoryRecord root;   // the records, until WriteDicomDir hands them over
    std::map<std::string, std::string> byKey;   // SOP instance UID -> relative path of its record
    std::vector<std::string> duplicates;
    std::optional<Error> failure;   // the first file refused: the DICOMDIR fails
    bool written = false;
};

DicomDirBuilder::DicomDirBuilder(MediaProfile profile) : impl_(std::make_unique<Impl>(profile)) {
    InitDicomToolkit();
    RemoveAbandonedWorkFolders(fs::temp_directory_path());
    RecordMaker& d = impl_->maker;
    const bool archive = profile == MediaProfile::Archive;
    // Archive discs hold Implicit VR Little Endian files, which no general-
    // purpose profile allows; the others are checked as the profile says.
    if (archive) d.disableTransferSyntaxCheck();
    d.enableRetiredSOPClassSupport();  // older archives hold retired classes (e.g. US 1.2.840.10008.5.1.4.1.1.6)
    // The consistency check compares every file with the records made
    // before and only warns (about differing patient names and the like);
    // it costs a sixth of the time and changes nothing that is written.
    d.disableConsistencyCheck();
    const OFCondition status =
        d.Start(archive ? DicomDirInterface::AP_GeneralPurpose : DicomDirInterface::AP_GeneralPurposeDVDJPEG);
    if (status.bad() || impl_->root.error().bad())
        throw Error(status.code(), std::string("Cannot start a DICOMDIR: ") + status.text());
}

DicomDirBuilder::~DicomDirBuilder() = default;

void DicomDirBuilder::AddFile(const DicomDataset& dataset, const std::string& relativePath,
                              const std::string& dirEntryKey, int flags) {
    if (impl_->failure) throw *impl_->failure;
    if (impl_->written) throw Error(0, "DICOMDIR record for " + relativePath + ": the DICOMDIR has been written");
    if (flags != 0)
        throw Error(0, "DICOMDIR record for " + relativePath + ": flags " + std::to_string(flags) +
                           " are not supported (0 is the only value)");
    if (!dataset.impl || dataset.impl->source.empty())
        throw Error(0, "DICOMDIR record for " + relativePath +
                           ": the dataset was not read from a file, so no record can refer to it");
    const std::string fileId = ReferencedFileId(relativePath, impl_->profile != MediaProfile::Archive);
    const std::string key = dataset.DirEntryKey();
    if (dirEntryKey != key)
        throw Error(0, "DICOMDIR record for " + relativePath + ": the entry key \"" + dirEntryKey +
                           "\" does not belong to this dataset (SOP Instance UID " + key + ")");

    if (impl_->byKey.count(key)) {
        // DICOM references a SOP instance once; DCMTK would skip it too.
        impl_->duplicates.push_back(relativePath);
        return;
    }

    // DCMTK only reads the dataset; a value the read left in the file is
    // loaded from there if asked for (which is why the file stays in place).
    DcmFileFormat& file = const_cast<DcmFileFormat&>(dataset.impl->file);
    RecordMaker& maker = impl_->maker;
    const OFFilename name(relativePath.c_str());
    DcmtkMessages messages;
    OFCondition status = maker.Add(impl_->root, file, fileId.c_str(), name);
    if (status == EC_ApplicationProfileViolated) {
        // A required record value is missing: let DCMTK invent it, for
        // this file only (the invent mode costs time for every later file).
        maker.enableInventMode(OFTrue);
        status = maker.Add(impl_->root, file, fileId.c_str(), name);
        maker.enableInventMode(OFFalse);
    }
    if (status.bad()) {
        impl_->failure = Error(status.code(), "The DICOMDIR refuses " + relativePath + " (" +
                                                  dataset.impl->source.string() + "): " + status.text() +
                                                  messages.Summary());
        throw *impl_->failure;
    }
    impl_->byKey.emplace(key, relativePath);
}

void DicomDirBuilder::WriteDicomDir(const fs::path& path) {
    if (impl_->failure) throw *impl_->failure;
    if (impl_->written) throw Error(0, "The DICOMDIR has been written already");
    // DcmDicomDir reads a file of its name that exists, and writes its
    // own temporary file (name + ".tmp") before it renames that onto its
    // name: a fresh name in the target folder, renamed onto `path` at last.
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string pattern = (folder / ".Dicomdir.XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) {
        const int err = errno;
        throw Error(err, "Cannot write " + path.string() + ": " + std::strerror(err));
    }
    ::close(fd);
    const fs::path temporary(buffer.data());
    std::error_code ec;
    fs::remove(temporary, ec);
    const auto cleanUp = [&] {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        fs::remove(temporary.string() + DICOMDIR_TEMP_SUFFIX, ignored);
    };

    DcmtkMessages messages;
    OFCondition status;
    {
        DcmDicomDir dir(OFFilename(temporary.c_str()), kFilesetId);
        status = dir.error();
        if (status.good()) {
            impl_->written = true;
            DcmDirectoryRecord& root = dir.getRootRecord();
            while (impl_->root.cardSub() > 0 && status.good()) status = root.insertSub(impl_->root.removeSub(0UL));
        }
        if (status.good()) status = dir.write(DICOMDIR_DEFAULT_TRANSFERSYNTAX, EET_UndefinedLength, EGL_withoutGL);
    }
    if (status.bad()) {
        cleanUp();
        throw Error(status.code(), std::string("Cannot write the DICOMDIR: ") + status.text() + messages.Summary());
    }
    fs::permissions(temporary, fs::perms(0644), ec);
    if (!ec) fs::rename(temporary, path, ec);
    if (ec) {
        cleanUp();
        throw Error(ec.value(), "Cannot write " + path.string() + ": " + ec.message());
    }
}

const std::vector<std::string>& DicomDirBuilder::Duplicates() const { return impl_->duplicates; }

}  // namespace velunor
