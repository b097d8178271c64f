#pragma once

// Writes frame_count frames of silence into the data area of the WAV file at
// wav_path, from frame start_frame on.
void PAD_FILE(const char* wav_path, int start_frame, int bytes_per_sample, int channels, int frame_count);

// Copies frame_count frames from frame read_start_frame of the source into the
// destination from frame insert_frame on, changing their level by level_db
// when it is not zero. Frames the source cannot deliver (it was cut short
// since it was measured) are written as silence, and the run then ends with
// status 2. Both files must exist; every failure ends the run with status 2.
void INSERT_FILE(const char* destination_path, const char* source_path, int insert_frame, int bytes_per_sample,
                 double level_db, int channels, int frame_count, int read_start_frame);
