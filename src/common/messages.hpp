#pragma once

// The program's own words, each spelled here once: every message it ends a
// run with, the notes it prints on the way, and the lines of an entry's
// summary and of the report. They are printf formats; users and scripts read
// them byte for byte, so a change here is a change of the program's output.
namespace message {

// The command line and the task file (status 1).
inline constexpr char kUnknownOption[] = "Unknown option %s\n";
inline constexpr char kOptionAfterTaskFile[] = "Option %s must come before the task file\n";
inline constexpr char kTaskFileNameTooLong[] = "Task file name is too long (%i characters at most)\n";
inline constexpr char kTaskFileMissing[] = "Cannot find file %s that holds your instructions\n";
inline constexpr char kTaskFileTooLarge[] = "Task file %s is too large (%i bytes at most)\n";
inline constexpr char kSourceNameMissing[] = "Source track %i appears to be too short or missing";
inline constexpr char kSourceNameTooLong[] = "Source track %i name is too long (%i characters at most)\n";
inline constexpr char kTooManySources[] = "Too many source tracks (%i at most)\n";
inline constexpr char kCommandBeforeSource[] = "Command %s comes before the first src command\n";
inline constexpr char kDestinationNameMissing[] = "Your destination name appears to be too short or missing\n";
inline constexpr char kDestinationNameTooLong[] = "Your destination name is too long (%i characters at most)\n";
inline constexpr char kOptionNeedsFile[] = "Option %s needs a file name\n";
inline constexpr char kLabelFileMissing[] = "Cannot find label file %s\n";
inline constexpr char kLabelFileTooLarge[] = "Label file %s is too large (%i bytes at most)\n";

// What the reader says on its way.
inline constexpr char kUsingSamples[] = "Reading time values as samples.\n";
inline constexpr char kInvalidCrossfadeType[] = "Crossfade-type (parameter 2) is invalid\n";

// The plan (status 1).
inline constexpr char kRatesDiffer[] = "Sample rates do not match for source tracks:\n";
inline constexpr char kRateListing[] = "%s\t%u Hz\n";
inline constexpr char kChannelsDiffer[] = "Number of channels do not match for source tracks:\n";
inline constexpr char kChannelsListing[] = "%s\t%i channels\n";
inline constexpr char kBitsDiffer[] = "Number of bits do not match for source tracks:\n";
inline constexpr char kBitsListing[] = "%s\t%i\n";
inline constexpr char kTypesDiffer[] = "Sample types do not match for source tracks:\n";
inline constexpr char kTypeListing[] = "%s\t%s\n";
inline constexpr char kBadEdit[] = "Edit start/stop set incorrectly for %s\n";
inline constexpr char kDestinationTooLarge[] = "Destination file would be too large\n";
inline constexpr char kDestinationIsSource[] = "Destination %s is also a source track\n";
inline constexpr char kDestinationIsTaskFile[] = "Destination %s is also the task file\n";
inline constexpr char kDestinationIsLabelFile[] = "Destination %s is also a label file\n";
// --labels and --chapters: the option, its file, and what the file already is.
inline constexpr char kOutputWouldReplace[] = "%s %s would replace %s\n";
inline constexpr char kReplacesTaskFile[] = "the task file";
inline constexpr char kReplacesSource[] = "a source track";
inline constexpr char kReplacesLabelFile[] = "a label file";
inline constexpr char kReplacesDestination[] = "the destination";
inline constexpr char kReplacesWorkFile[] = "the crossfade work file";
inline constexpr char kReplacesOutput[] = "the %s file";
inline constexpr char kWorkFileIsTrack[] = "Crossfade work file %s is also named as a track\n";
inline constexpr char kNoMetadataSource[] = "Metadata source %s does not exist\n";
inline constexpr char kTooManyMarkers[] = "Destination would hold %lld markers (%i at most)\n";

// WAV files (status 2).
inline constexpr char kSourceMissing[] = "Cannot find file in track list called %s!!\n";
inline constexpr char kNoFormatChunk[] = "Can't find format chunk in wave file!\n";
inline constexpr char kNoDataChunk[] = "Can't find data block in wave file!\n";
inline constexpr char kUnsupportedFormat[] = "Unsupported wave format in %s: %i bits, %i channels, %u Hz\n";
inline constexpr char kCannotCreate[] = "Cannot create wave file %s!\n";
inline constexpr char kCannotOpen[] = "Cannot open wave file %s!\n";
inline constexpr char kCannotWrite[] = "Cannot write wave file %s!\n";
inline constexpr char kCannotRead[] = "Cannot read wave file %s!\n";
// --labels and --chapters (status 2): the option and its file.
inline constexpr char kCannotWriteOutput[] = "Cannot write %s file %s\n";

// A crossfade that is not made; the run goes on.
inline constexpr char kInvalidDestinationWindow[] = "Invalid crossfade for destination file\n";
inline constexpr char kInvalidSourceWindow[] = "Invalid crossfade for source file\n";
inline constexpr char kNoCrossfade[] = "Could not generate crossfade\n";

// --update and --version.
inline constexpr char kUpToDate[] = "Up to date\t%s\n";
inline constexpr char kVersion[] = "wavsplice %s\n";

// --strict, when a warning refuses the run (status 3).
inline constexpr char kStrictRefusal[] = "Warnings refuse the run with --strict\n";

// The run: the count, an entry's summary, the report.
inline constexpr char kEntryCount[] = "\nRead %i entries in task file\n\n";
inline constexpr char kTask[] = "Task %i";
inline constexpr char kInsertSamples[] = "\tInsert point %i samples\n";
inline constexpr char kInsertSeconds[] = "\tInsert point %.3f sec\n";
inline constexpr char kFile[] = "\tFile %s\n";
inline constexpr char kReadStartSamples[] = "\tRead start %i samples\n";
inline constexpr char kReadStartSeconds[] = "\tRead start %.3f sec\n";
inline constexpr char kReadLengthSamples[] = "\tRead length %i samples\n";
inline constexpr char kReadLengthSeconds[] = "\tRead length %.3f sec\n";
inline constexpr char kLevel[] = "\tLevel %.3f dB\n";
inline constexpr char kMixUnder[] = "\tMix under %.3f dB\n";
inline constexpr char kFadeInSamples[] = "\tFade in %i samples\n";
inline constexpr char kFadeInSeconds[] = "\tFade in %.3f sec\n";
inline constexpr char kFadeOutSamples[] = "\tFade out %i samples\n";
inline constexpr char kFadeOutSeconds[] = "\tFade out %.3f sec\n";
inline constexpr char kMarker[] = "\tMarker %s\n";
inline constexpr char kClipped[] = "\tClipped %lld samples\n";
inline constexpr char kDone[] = "\tDone\n\n";
inline constexpr char kBuilt[] = "Built\t%s\n";
inline constexpr char kLengthSamples[] = "\tLength %i samples\n";
inline constexpr char kLengthSeconds[] = "\tLength %.3f sec\n";
inline constexpr char kBits[] = "\tBits %i\n";
inline constexpr char kChannels[] = "\tChannels %i\n";
inline constexpr char kSampleRate[] = "\tSample rate %u\n";
inline constexpr char kMetadataFrom[] = "\tMetadata from %s\n";
inline constexpr char kReportEnd[] = "\n";

// Loudness: an entry's "lufs", right after its level (in a check too), and
// the destination's loudness (--loudness, "loud", "peak") after the report's
// other lines, a check's destination too. Values are given as in kLufsValue.
inline constexpr char kLevelForLoudness[] = "\tLevel for %.1f LUFS: its copy measures %.1f LUFS\n";
inline constexpr char kLevelKept[] = "\tLevel kept, not for %.1f LUFS: %s\n";
inline constexpr char kCopyTooShort[] = "its copy is under 400 ms, too short to measure";
inline constexpr char kCopyGatedOut[] = "its copy measures nothing above the gates";
inline constexpr char kCopyTooQuiet[] =
    "its copy measures %.1f LUFS and would need %+.3f dB (less than 24 dB is allowed)";
inline constexpr char kLoudnessAsBuilt[] = "\tLoudness as built %s, true peak %s\n";
inline constexpr char kGain[] = "\tGain %+.3f dB for %s\n";
inline constexpr char kGainHeld[] = "\tGain %+.3f dB for %s, held by the ceiling: %.1f LU short\n";
inline constexpr char kNoGain[] = "\tNo gain for %s: %s\n";
inline constexpr char kNothingMeasured[] = "nothing measures above the gates";
inline constexpr char kUnderCeiling[] = "the true peak lies at or under the ceiling";
inline constexpr char kLoudness[] = "\tLoudness %s\n";
inline constexpr char kLoudnessRange[] = "\tLoudness range %s\n";
inline constexpr char kTruePeak[] = "\tTrue peak %s\n";
inline constexpr char kLufsValue[] = "%.1f LUFS";
inline constexpr char kLuValue[] = "%.1f LU";
inline constexpr char kDbtpValue[] = "%.1f dBTP";
inline constexpr char kNotMeasurable[] = "not measurable";
inline constexpr char kDigitalSilence[] = "none (digital silence)";
inline constexpr char kLoudTarget[] = "loud %.1f LUFS";
inline constexpr char kPeakCeiling[] = "peak %.1f dBTP";

// Loudness warnings a run gives too: on standard error (in the document with
// --json), with --strict refusing the run.
inline constexpr char kLufsNotMet[] = "task %i keeps its level of %.3f dB, not one for %.1f LUFS: %s";
inline constexpr char kCeilingLowered[] = "a true-peak ceiling of %+.1f dBTP on integer samples is taken as 0 dBTP";
inline constexpr char kLoudNotMet[] =
    "loud %.1f LUFS is not met: the true-peak ceiling of %.1f dBTP holds the gain at %+.3f dB, %.1f LU short";
inline constexpr char kLoudUnmeasured[] = "the programme measures nothing above the gates: loud %.1f LUFS gets no gain";

// --plot: why a check's picture lacks the destination's envelope (a check's
// warning, and the picture's words).
inline constexpr char kPlotNotRendered[] =
    "no file without a name could be made in the destination's folder or the temporary folder to build the "
    "programme in";

// A warning about the task file's text, on standard error.
inline constexpr char kTextWarning[] = "wavsplice: line %i: %s\n";

// What a run says on standard error about the destination it replaces (a
// check gives them as warnings).
inline constexpr char kNote[] = "wavsplice: %s\n";
inline constexpr char kOtherNames[] = "%s has other names (hard links): they keep the old content";
inline constexpr char kLeftover[] =
    "%s may be left by a run that was killed: it may be removed when no run is writing there";

// A run that cannot go on, on standard error (status 2).
inline constexpr char kReportUnwritable[] = "wavsplice: cannot write the report: %s\n";
inline constexpr char kOutOfMemory[] = "Out of memory\n";

// Every one of them, for the test that the manual page names them all.
inline constexpr const char* kAll[] = {
    kUnknownOption,
    kOptionAfterTaskFile,
    kTaskFileNameTooLong,
    kTaskFileMissing,
    kTaskFileTooLarge,
    kSourceNameMissing,
    kSourceNameTooLong,
    kTooManySources,
    kCommandBeforeSource,
    kDestinationNameMissing,
    kDestinationNameTooLong,
    kOptionNeedsFile,
    kLabelFileMissing,
    kLabelFileTooLarge,
    kUsingSamples,
    kInvalidCrossfadeType,
    kRatesDiffer,
    kRateListing,
    kChannelsDiffer,
    kChannelsListing,
    kBitsDiffer,
    kBitsListing,
    kTypesDiffer,
    kTypeListing,
    kBadEdit,
    kDestinationTooLarge,
    kDestinationIsSource,
    kDestinationIsTaskFile,
    kDestinationIsLabelFile,
    kOutputWouldReplace,
    kReplacesTaskFile,
    kReplacesSource,
    kReplacesLabelFile,
    kReplacesDestination,
    kReplacesWorkFile,
    kReplacesOutput,
    kWorkFileIsTrack,
    kNoMetadataSource,
    kTooManyMarkers,
    kSourceMissing,
    kNoFormatChunk,
    kNoDataChunk,
    kUnsupportedFormat,
    kCannotCreate,
    kCannotOpen,
    kCannotWrite,
    kCannotRead,
    kCannotWriteOutput,
    kInvalidDestinationWindow,
    kInvalidSourceWindow,
    kNoCrossfade,
    kUpToDate,
    kVersion,
    kStrictRefusal,
    kEntryCount,
    kTask,
    kInsertSamples,
    kInsertSeconds,
    kFile,
    kReadStartSamples,
    kReadStartSeconds,
    kReadLengthSamples,
    kReadLengthSeconds,
    kLevel,
    kMixUnder,
    kFadeInSamples,
    kFadeInSeconds,
    kFadeOutSamples,
    kFadeOutSeconds,
    kMarker,
    kClipped,
    kDone,
    kBuilt,
    kLengthSamples,
    kLengthSeconds,
    kBits,
    kChannels,
    kSampleRate,
    kMetadataFrom,
    kLevelForLoudness,
    kLevelKept,
    kCopyTooShort,
    kCopyGatedOut,
    kCopyTooQuiet,
    kLoudnessAsBuilt,
    kGain,
    kGainHeld,
    kNoGain,
    kNothingMeasured,
    kUnderCeiling,
    kLoudness,
    kLoudnessRange,
    kTruePeak,
    kLufsValue,
    kLuValue,
    kDbtpValue,
    kNotMeasurable,
    kDigitalSilence,
    kLoudTarget,
    kPeakCeiling,
    kLufsNotMet,
    kCeilingLowered,
    kLoudNotMet,
    kLoudUnmeasured,
    kPlotNotRendered,
    kTextWarning,
    kNote,
    kOtherNames,
    kLeftover,
    kReportUnwritable,
    kOutOfMemory,
};

}  // namespace message
