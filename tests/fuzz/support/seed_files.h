// File formats that the seeds of several fuzz targets are built from: tar
// members and a small OID dump.
#pragma once
#include "support/fuzz_support.h"
#include <string>

// One tar member (header block and padded data) with a valid checksum; type
// '0' file, '5' folder, 'L' long name of the next member, 'x' pax records.
// gnu picks the "ustar  " magic, else "ustar" with a prefix field.
FuzzInput FuzzTarMember(const std::string& name, char type, const std::string& data, bool gnu = true,
                        const std::string& prefix = "");
// The two zero blocks that end an archive.
FuzzInput FuzzTarEnd();
// An OID dump (version word 0xFFFF) of a few records of each unit width.
FuzzInput FuzzOidDump();
