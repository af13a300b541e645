#include "layout_report.h"

#include <cstdio>

namespace lumivex {

namespace {

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 replaced (mesh names come from any file).
void appendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
      ++i;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
    } else {
      // The length of a well-formed sequence starting here, or 0.
      std::size_t length = byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                           : byte >= 0xF0 && byte <= 0xF4                                  ? 4
                                                                                          : 0;
      if (length > text.size() - i) length = 0;
      for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) length = 0;
      }
      if (length >= 3) {
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second > 0x9F) || (byte == 0xF0 && second < 0x90) ||
            (byte == 0xF4 && second > 0x8F)) {
          length = 0;  // overlong, a surrogate, or past U+10FFFF
        }
      }
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  out += '"';
}

// The share of the surface, to four decimals.
void appendShare(std::string& out, const char* key, double part, double whole) {
  char text[64];
  std::snprintf(text, sizeof text, "\"%s\": %.4f, ", key, whole > 0 ? part / whole : 0.0);
  out += text;
}

void appendCount(std::string& out, const char* key, std::size_t value, bool comma = true) {
  out += '"';
  out += key;
  out += "\": ";
  out += std::to_string(value);
  if (comma) out += ", ";
}

// The counts of one mesh or of the whole, in the report's order.
void appendCounts(std::string& out, const LayoutCounts& counts) {
  appendCount(out, "triangles", counts.triangles);
  appendCount(out, "outside", counts.outside);
  appendCount(out, "zeroArea", counts.zeroArea);
  appendCount(out, "unsampled", counts.unsampled);
  appendShare(out, "unsampledAreaShare", counts.unsampledArea, counts.surfaceArea);
  appendCount(out, "overlappedTexels", counts.overlappedTexels, false);
}

}  // namespace

std::string layoutReportJson(const LayoutReport& report, const std::vector<std::string>& names, const std::string& model) {
  std::string out = "{\n  \"model\": ";
  appendJsonString(out, model);
  out += ",\n  \"size\": " + std::to_string(report.size) + ",\n  ";
  appendCounts(out, report.total);
  out += ",\n  \"sizeSamplingAll\": ";
  out += report.sizeSamplingAll == 0 ? "null" : std::to_string(report.sizeSamplingAll);
  out += ",\n  \"meshes\": [";
  for (std::size_t m = 0; m < report.meshes.size(); ++m) {
    out += m == 0 ? "\n    {\"name\": " : ",\n    {\"name\": ";
    appendJsonString(out, m < names.size() ? names[m] : std::string());
    out += ", ";
    appendCounts(out, report.meshes[m]);
    out += '}';
  }
  out += report.meshes.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace lumivex
