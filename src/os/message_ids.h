// Every id of the string tables (resources/strings/*.txt), by name. Code
// loads texts only through these constants; the tables and this header
// must carry the same ids (messages_test checks it).
#pragma once

namespace TarvMessages::Id {

// Command-line option names (the same in every language).
inline constexpr int kOptHelpShort = 101;
inline constexpr int kOptAdminShort = 102;
inline constexpr int kOptCurrentShort = 103;
inline constexpr int kOptListShort = 104;
inline constexpr int kOptServerShort = 105;
inline constexpr int kOptFinalShort = 106;
inline constexpr int kOptTargetShort = 107;
inline constexpr int kOptPatchShort = 108;
inline constexpr int kOptRepairShort = 109;
inline constexpr int kOptOnExitShort = 110;
inline constexpr int kOptHelp = 111;
inline constexpr int kOptAdmin = 112;
inline constexpr int kOptCurrent = 113;
inline constexpr int kOptList = 114;
inline constexpr int kOptServer = 115;
inline constexpr int kOptFinal = 116;
inline constexpr int kOptTarget = 117;
inline constexpr int kOptPatch = 118;
inline constexpr int kOptRepair = 119;
inline constexpr int kOptOnExit = 120;

// Command-line option descriptions.
inline constexpr int kDescHelp = 121;
inline constexpr int kDescAdmin = 122;
inline constexpr int kDescCurrent = 123;
inline constexpr int kDescList = 124;
inline constexpr int kDescServer = 125;
inline constexpr int kDescFinal = 126;
inline constexpr int kDescTarget = 127;
inline constexpr int kDescPatch = 128;
inline constexpr int kDescRepair = 129;
inline constexpr int kDescOnExit = 130;

// Messages.
inline constexpr int kTo = 131;
inline constexpr int kNoPrivileges = 132;
inline constexpr int kRequiresAdminCaption = 134;
inline constexpr int kFailedToAddAddress = 135;
inline constexpr int kFailedToReadServerList = 136;
inline constexpr int kLoginAsAdmin = 137;
inline constexpr int kErrorCreatingProcess = 138;
inline constexpr int kCouldNotStartUnpacker = 139;
inline constexpr int kFailedToUnpack = 140;
inline constexpr int kSearchingForPatches = 141;
inline constexpr int kAtFinalVersion = 142;
inline constexpr int kNoMorePatches = 143;
inline constexpr int kCannotDetermineSize = 144;
inline constexpr int kCannotCreateTempFile = 145;
inline constexpr int kCannotCreateTempFolder = 146;
inline constexpr int kDownloadingPatch = 147;
inline constexpr int kDownloadFailed = 148;
inline constexpr int kUnpackingPatch = 149;
inline constexpr int kExtractFailed = 150;
inline constexpr int kPatching = 151;
inline constexpr int kApplyFailed = 152;
inline constexpr int kUninstallLogFailed = 153;
inline constexpr int kPatchingNeedsAdmin = 154;
inline constexpr int kFilesInUseLine = 157;
inline constexpr int kFilesInUseText = 158;
inline constexpr int kFilesInUseCaption = 159;
inline constexpr int kRepairNotImplemented = 160;
inline constexpr int kNothingToDo = 161;
inline constexpr int kPatchingCompleted = 162;
inline constexpr int kPatchingAborted = 163;
inline constexpr int kInstallerVersion = 164;
inline constexpr int kManualPatchPath = 165;
inline constexpr int kPatchingFromVersion = 166;
inline constexpr int kStandaloneMode = 167;
inline constexpr int kDownloadMode = 168;
inline constexpr int kRepairMode = 169;
inline constexpr int kServerCandidate = 170;
inline constexpr int kPatchingInstall = 171;
inline constexpr int kRepairingInstall = 172;
inline constexpr int kRepairButton = 173;
inline constexpr int kDownloadProgressHours = 174;
inline constexpr int kDownloadProgressMinutes = 175;
inline constexpr int kBannerBlank = 176;
inline constexpr int kPhysXMissing = 177;

// All-or-nothing patch steps (300-319). Texts ending in "%s" take the
// version or folder in that place.
inline constexpr int kStepNoSpace = 300;
inline constexpr int kStepReturnedTo = 301;
inline constexpr int kStepJournalFailed = 302;
inline constexpr int kStepUndoFailed = 303;
inline constexpr int kStepRecoveredCompleted = 305;
inline constexpr int kStepRecoveryFailed = 306;
inline constexpr int kStepBusy = 307;
// An entry whose path meets a link inside the installation; the entry follows.
inline constexpr int kStepLinkRefused = 308;

// Repair and offline patching.
inline constexpr int kNoRepairForVersion = 320;
inline constexpr int kCheckingFiles = 321;
inline constexpr int kCheckedFiles = 322;
inline constexpr int kRepairedFile = 323;
inline constexpr int kRepairSummary = 324;
inline constexpr int kExtraFile = 325;
inline constexpr int kManifestUnusable = 326;
inline constexpr int kRepairDownloading = 327;
inline constexpr int kRepairDownloadFailed = 328;
inline constexpr int kRepairFileBad = 329;
inline constexpr int kRepairUndone = 330;
inline constexpr int kNoLocalPatches = 331;
inline constexpr int kArchiveOtherVersion = 332;
inline constexpr int kPatchFileUnreadable = 333;
inline constexpr int kRepairStagingFailed = 334;
inline constexpr int kRepairObjectTooLong = 335;

// Signed updates: why a server's catalogue or a downloaded archive is
// refused when it cannot be shown to come from the publisher.
inline constexpr int kCatalogueUnsigned = 340;
inline constexpr int kCatalogueBadSignature = 341;
inline constexpr int kCatalogueExpired = 342;
inline constexpr int kCatalogueReplayed = 343;
inline constexpr int kPublisherKeyUnusable = 344;
inline constexpr int kArchiveMismatch = 345;
inline constexpr int kArchiveTooLarge = 346;
inline constexpr int kRecordWithoutDigest = 347;

// The terminal front end (--unattended).
inline constexpr int kUnattendedDescription = 360;
inline constexpr int kJsonDescription = 361;
inline constexpr int kVersionDescription = 362;
inline constexpr int kTerminalProgress = 363;
inline constexpr int kTerminalProgressNoTotal = 364;
inline constexpr int kTerminalApplying = 365;
inline constexpr int kAnotherPatcherRuns = 366;
inline constexpr int kCancelledCleaningUp = 367;
inline constexpr int kVerboseDescription = 368;
inline constexpr int kJsonNeedsUnattended = 369;
inline constexpr int kNoDisplay = 370;
// Hostile input and the access test.
inline constexpr int kChainCycle = 400;
inline constexpr int kRegistryHiveUnreadable = 401;
inline constexpr int kInstallFolderMissing = 402;
inline constexpr int kInstallFolderNotAFolder = 403;
inline constexpr int kInstallBinariesMissing = 404;
inline constexpr int kInstallProblemCaption = 405;
inline constexpr int kElevationUnavailable = 406;
inline constexpr int kElevationCouldNotRun = 407;
inline constexpr int kNoUninstallLog = 408;
// Transfers and downloads: the cause of a failed server or download, and
// the time left in seconds.
inline constexpr int kNetHostNotFound = 380;
inline constexpr int kNetRefused = 381;
inline constexpr int kNetHttpStatus = 382;  // %d: the status
inline constexpr int kNetStalled = 383;
inline constexpr int kNetTimeUp = 384;
inline constexpr int kNetCertificate = 385;
inline constexpr int kNetDiskFull = 386;
inline constexpr int kNetTooLong = 387;
inline constexpr int kNetNotFound = 388;
inline constexpr int kNetOther = 389;
inline constexpr int kDownloadProgressSeconds = 390;
inline constexpr int kLimitRateHelp = 391;
inline constexpr int kLimitRateInvalid = 392;  // followed by the value

// New texts are added in blocks by subject, each block in its own range so
// that work on different subjects never takes the same number:
//   300-319 all-or-nothing steps      320-339 repair and offline patching
//   340-359 signed updates            360-379 the terminal front end
//   380-399 transfers and downloads   400-429 hostile input, access test

}  // namespace TarvMessages::Id
