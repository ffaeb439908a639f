-- The archive schema for SQLite (ServerType "SQLite3").
--
-- tblArchives: the archive roots. A study folder lies at
--   ArchiveUNC + "/" + StudyDirectory1   or   ArchivePath + "/" + StudyDirectory1.
-- tblStudies: one row per study. StudyDirectory2 records the discs that hold
--   the study: NULL or '' (on no disc), 'DVD b', 'DVD a|DVD b', 'not readable'.
-- View_Studies: a study's folder name with the roots of its archive.
--
-- Usable as it stands: sqlite3 archive.sqlite < sqlite.sql

CREATE TABLE tblArchives (
    ArchiveID   INTEGER PRIMARY KEY,
    ArchiveUNC  TEXT NULL,
    ArchivePath TEXT NULL
);

CREATE TABLE tblStudies (
    StudyID         INTEGER PRIMARY KEY,
    StudyUID        TEXT,
    StudyDirectory1 TEXT,
    StudyDirectory2 TEXT NULL,
    ArchiveID       INTEGER REFERENCES tblArchives (ArchiveID)
);

-- The database update finds studies by StudyUID, the staging copy by
-- StudyDirectory1.
CREATE INDEX ixStudiesStudyUID ON tblStudies (StudyUID);
CREATE INDEX ixStudiesStudyDirectory1 ON tblStudies (StudyDirectory1);

CREATE VIEW View_Studies AS
SELECT tblStudies.StudyID, tblStudies.StudyDirectory1, tblArchives.ArchiveUNC, tblArchives.ArchivePath
FROM tblStudies
JOIN tblArchives ON tblArchives.ArchiveID = tblStudies.ArchiveID;
