// The firmware image of one download: where it lies, and opening it with the
// checks that come before the first byte is sent.
#pragma once

#include <cstdio>

#include "inventory/catalogue.h"
#include "inventory/text_field.h"
#include "platform/file_handle.h"

struct firmware_image {
    file_handle file;  // positioned at the start of the image
    long size;
};

// "fwimage/" followed by the catalogue's file name: the path that is logged.
void build_image_path(text_field<512>& path, const char* firmware_file);

// The file to open for the path. The catalogue stores its file names upper-
// cased, which Windows does not mind; a file system that tells the cases apart
// would miss "fwimage/drive.bin" under "FWIMAGE/DRIVE.BIN". So the exact name
// is tried first, then a name in the image folder that differs only in letter
// case (the first such name in sorted order, for a repeatable choice). When
// neither is a regular file, the exact path is returned and will not open.
std::string locate_image(const char* image_path, const char* firmware_file);

// Opens the image read-only, finds its size and rewinds it. Returns nullptr
// when it is ready, else the setup-log line that says why not ("Error open
// file", "Unable to read EOF on download file!", "Unable to read size of
// download file"); it logs nothing itself. Anything but a regular file counts
// as unopenable: fopen opens a folder on POSIX, and the folder "fwimage/" of
// an entry without a file name must never reach a drive. With
// `denies_writers` given, the file is opened so that, where the system can,
// nobody else may change it while it is open, and the flag says whether so.
const char* open_image(const char* image_path, const char* firmware_file, firmware_image& image,
                       bool* denies_writers = nullptr);

// Whether the open image lies outside the firmware folder (through ".." in
// its name, or a link that leads out): such a file is never sent, nor its
// size or digest told. Links that stay inside the folder are fine.
bool image_lies_outside(std::FILE* opened, const char* folder = image_folder);
