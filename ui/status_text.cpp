#include "ui/status_text.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t ROW_SIZE = 512;  // as the window renders a row

// Appends what fits of `text`, keeping room for the NUL.
void Append(char* buffer, uint32_t size, uint32_t* length, const char* text) {
  while (*text != '\0' && *length + 1 < size) buffer[(*length)++] = *text++;
  buffer[*length] = '\0';
}

}  // namespace

uint32_t RenderStatusText(const StatusCache& cache, const TrafficCounters& traffic,
                          const StatusTextHeader& header, char* buffer, uint32_t size,
                          StringLoader loadString) {
  uint32_t length = 0;
  buffer[0] = '\0';
  const char* const heading[] = {"Varnel ",   header.version, "\t",        header.serial, "\t",
                                 header.path, "\t",           header.time, "\r\n"};
  for (const char* part : heading) Append(buffer, size, &length, part);
  for (int32_t tab : {TAB_INFO, TAB_KSEF}) {
    for (uint32_t row = 0; row < RowCount(tab); ++row) {
      char text[ROW_SIZE];
      const bool warning = RenderStatusRow(cache, traffic, tab, row, text, sizeof text, loadString) == 1;
      const char* const line[] = {text, "\t", text + std::strlen(text) + 1, warning ? "\t!" : "", "\r\n"};
      for (const char* part : line) Append(buffer, size, &length, part);
    }
  }
  return length;
}
