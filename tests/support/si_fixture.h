// Output-stream database fixtures and the independent PSI/SI decoder for
// the PSI/SI tests.
#pragma once
#include "Common/types.h"
#include <string>
#include <vector>

namespace sifx {

using Bytes = std::vector<U8>;

// Factory database (8 streams, 100 programs, 500 PIDs, ...) and an empty carousel.
void ResetDb();
// A valid output stream on an output channel (all generate flags set).
U16 AddStream(U16 u16Channel, U16 u16TSID, U16 u16ONID = 1);
// A program appended to the stream's list.
U16 AddProgram(U16 u16TS, U16 u16ServiceID, U16 u16PMTPID, U16 u16PCRPID, const std::string& name,
               const std::string& provider = "");
// A PID record of a kind of PIDTYPE_E, linked into its owner's list: ES and
// program ECMs to the program, ES ECMs to the ES record u16Owner, EMM and
// other PIDs to the stream.
U16 AddPID(U16 u16TS, U16 u16Owner, U8 u8Type, U16 u16PID, U8 u8StreamType = 0, U16 u16CASID = 0,
           const Bytes& info = {}, U16 u16OldPID = 0xFFFF);
// One stored NIT section appended to the stream's NIT chain.
U16 AddNITSection(U16 u16TS, const Bytes& section);

// A section with its length and CRC-32 filled in (bytes 1..2 keep their high nibble).
Bytes Sectionize(Bytes body);

// Runs the libdvbpsi decoder over sections (or TS packets) and returns its output.
std::string Decode(const Bytes& data, bool bTS = false);
// Lines of the decoder output that begin with a keyword.
std::vector<std::string> Lines(const std::string& out, const std::string& keyword);
// Value of key=value in a line ("" when absent).
std::string Field(const std::string& line, const std::string& key);

// The TS packets the carousel holds for one output stream, in carousel order.
Bytes CarouselPackets(U16 u16OutTS);

}  // namespace sifx
