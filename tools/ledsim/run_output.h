// What ledsim writes after the command: the journal with the final values, and the
// picture of the run.
#pragma once

#include "led_tree.h"
#include "options.h"

#include <stdio.h>

#include <memory>
#include <string>

namespace ledsim {

// Closes an output file when its owner goes. What ledsim writes to it is flushed
// and checked where it is written (writeJournal, writePicture).
struct OutputCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using OutputFile = std::unique_ptr<FILE, OutputCloser>;

// An output file, created (or emptied) before anything runs, so that a bad name
// stops ledsim before the command has run for nothing. Null with a message.
OutputFile openOutput(const std::string& path, const char* what, std::string& error);

// The journal and then the final values, one line each, to OUT (PATH names it in a
// message; empty is standard output). False, reported, if it could not be written.
bool writeJournal(const LedTree& tree, FILE* out, const std::string& path);

// The SVG picture to OUT; false, reported, if it could not be written.
bool writePicture(const std::string& svg, FILE* out, const std::string& path);

// The picture's title: the command line that ran.
std::string pictureTitle(const Options& options);

} // namespace ledsim
