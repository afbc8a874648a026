// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

// What each fuzz target does with one input, shared with the regression test
// that replays the checked-in inputs (tests/regress).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvitor::fuzz {

// Each accepts kvitor::Error as a refusal of the input. Any other exception
// escapes, and a broken invariant aborts with a message: both are faults.

// A document body: parse, render every node's line, copy the tree, encode
// original and copy (which must agree).
void RunTlv(std::string_view data);

// A binary report file, as `kvitor-cli show` reads it: load, then write the
// text report, kept as a digest (a deep file's text runs to gigabytes). Long
// enough inputs run a second time with the checksum made right, so that the
// fuzzer reaches the TLV data.
void RunReportFile(std::string_view data);

// A mutation that makes a report file input long and deep, which byte-wise
// mutations hardly reach: part of the TLV data after the header is wrapped
// in containers, many levels at once, or the data is repeated. Returns the
// new size (at most maxSize) or 0 when the input offers nothing to grow.
std::size_t GrowReportFile(uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed);

// `kvitor-cli show`'s whole path from a file: the input as a file on disk,
// shown on the terminal or exported as JSON or CSV (one form per input, by
// its length). The streamed text export must equal the text report of the
// loaded tree. Long inputs get their checksum made right too.
void RunShow(std::string_view data);

// Report assembly: documents (types, bodies, confirmations) cut from the
// input, through Build and both writers' paths; the encoding and the text
// made from the bodies must equal those of the report's tag nodes, and a
// report refused for encoding must be one whose nodes cannot be encoded.
void RunReportBuild(std::string_view data);

// The emulated storage's JSON data file: load, then look a few documents and
// confirmations up.
void RunStorageImage(std::string_view data);

// The driver's settings file: parse; settings it takes must be written back
// by the settings writer's format and read back the same.
void RunTorvelSettings(std::string_view data);

// Bytes from a fiscal storage's serial line: the frame decoder over them as a
// stream, each frame's data through every answer parser and, as a request,
// through the emulated storage; then the serial driver on a line that
// answers with the input's records (a length byte, then that many bytes). A
// document is never handed out shorter than its length.
void RunFnFrames(std::string_view data);

}  // namespace kvitor::fuzz
