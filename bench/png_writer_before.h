// vbhost's PNG writer before its settings were tuned: libpng with its defaults.
#ifndef VB_BENCH_PNG_WRITER_BEFORE_H
#define VB_BENCH_PNG_WRITER_BEFORE_H

#include <string>
#include <vector>

#include "host/image_writer.h"

bool EncodePngBefore(const DibLayout& dib, std::vector<uint8_t>* out, std::string* problem);

#endif
