// CExcel: the top-left cells of the first sheet of a spreadsheet.
#include <freexl.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "preview/archive_reader.h"
#include "preview/file_head.h"
#include "preview/isolated_run.h"
#include "preview/viewers.h"
#include "preview/xml_text.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr int kRows = ViewerLimits::kExcelRows;
constexpr int kColumns = ViewerLimits::kExcelColumns;

// Cell texts of the shown corner of the sheet, row by row.
class Grid {
 public:
  void Set(int row, int column, std::string text) {
    if (row < 0 || column < 0 || row >= kRows || column >= kColumns) return;
    for (char& c : text) {
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    cells_[{row, column}] = std::move(text);
    used_rows_ = std::max(used_rows_, row + 1);
    used_columns_ = std::max(used_columns_, column + 1);
  }
  std::string Text() const {
    std::string text;
    for (int row = 0; row < used_rows_; ++row) {
      for (int column = 0; column < used_columns_; ++column) {
        if (column > 0) text += '\t';
        if (auto cell = cells_.find({row, column}); cell != cells_.end()) text += cell->second;
      }
      text += '\n';
    }
    return text;
  }

 private:
  std::map<std::pair<int, int>, std::string> cells_;
  int used_rows_ = 0;
  int used_columns_ = 0;
};

std::string NumberText(double value) {
  char buffer[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
  }
  return buffer;
}

bool XlsGrid(const std::string& path, Grid* grid) {
  const void* handle = nullptr;
  if (freexl_open(path.c_str(), &handle) != FREEXL_OK) {
    if (handle) freexl_close(handle);
    return false;
  }
  unsigned int sheets = 0;
  unsigned int rows = 0;
  unsigned short columns = 0;
  bool ok = freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &sheets) == FREEXL_OK && sheets > 0 &&
            freexl_select_active_worksheet(handle, 0) == FREEXL_OK &&
            freexl_worksheet_dimensions(handle, &rows, &columns) == FREEXL_OK;
  for (unsigned row = 0; ok && row < std::min<unsigned>(rows, kRows); ++row) {
    for (unsigned short column = 0; column < std::min<unsigned short>(columns, kColumns);
         ++column) {
      FreeXL_CellValue cell{};
      if (freexl_get_cell_value(handle, row, column, &cell) != FREEXL_OK) continue;
      switch (cell.type) {
        case FREEXL_CELL_INT: grid->Set(row, column, std::to_string(cell.value.int_value)); break;
        case FREEXL_CELL_DOUBLE: grid->Set(row, column, NumberText(cell.value.double_value)); break;
        case FREEXL_CELL_TEXT:
        case FREEXL_CELL_SST_TEXT:
        case FREEXL_CELL_DATE:
        case FREEXL_CELL_DATETIME:
        case FREEXL_CELL_TIME:
          if (cell.value.text_value) grid->Set(row, column, cell.value.text_value);
          break;
        default: break;
      }
    }
  }
  freexl_close(handle);
  return ok;
}

// "B7" -> row 6, column 1; false for anything else.
bool CellReference(std::string_view reference, int* row, int* column) {
  size_t i = 0;
  long col = 0;
  while (i < reference.size() && reference[i] >= 'A' && reference[i] <= 'Z' && i < 3) {
    col = col * 26 + (reference[i] - 'A' + 1);
    ++i;
  }
  long r = 0;
  const size_t digits_from = i;
  while (i < reference.size() && reference[i] >= '0' && reference[i] <= '9' &&
         i - digits_from < 8) {
    r = r * 10 + (reference[i] - '0');
    ++i;
  }
  if (col == 0 || r == 0 || i != reference.size()) return false;
  *row = static_cast<int>(r - 1);
  *column = static_cast<int>(col - 1);
  return true;
}

// All text of an <si> or <is> element (plain or rich runs).
std::string InlineText(const pugi::xml_node& node) {
  std::string text;
  CollectText(node, {"", "|t|", "", "", "", "|rPh|"}, 32768, &text);
  return text;
}

// The target of the workbook's first sheet, as a package member name.
std::string FirstSheetPart(const std::map<std::string, std::string>& parts) {
  const std::string fallback = "xl/worksheets/sheet1.xml";
  auto workbook = parts.find("xl/workbook.xml");
  auto relations = parts.find("xl/_rels/workbook.xml.rels");
  if (workbook == parts.end() || relations == parts.end()) return fallback;
  pugi::xml_document book;
  pugi::xml_document rels;
  if (!ParseXml(workbook->second, &book) || !ParseXml(relations->second, &rels)) return fallback;
  const pugi::xml_node sheet = FindLocal(book, "sheet");
  const std::string id = AttributeLocal(sheet, "id").value();
  if (id.empty()) return fallback;
  for (pugi::xml_node rel : FindLocal(rels, "Relationships").children()) {
    if (id != rel.attribute("Id").value()) continue;
    std::string target = rel.attribute("Target").value();
    if (target.empty()) return fallback;
    if (target[0] == '/') return target.substr(1);
    return "xl/" + target;
  }
  return fallback;
}

bool XlsxGrid(const std::string& path, Grid* grid) {
  std::map<std::string, std::string> parts;
  if (!ReadPackageParts(
          path,
          [](const std::string& name) {
            return name == "xl/workbook.xml" || name == "xl/_rels/workbook.xml.rels" ||
                   name == "xl/sharedStrings.xml" ||
                   (name.rfind("xl/worksheets/", 0) == 0 &&
                    name.find("_rels") == std::string::npos);
          },
          &parts)) {
    return false;
  }
  auto sheet_part = parts.find(FirstSheetPart(parts));
  if (sheet_part == parts.end()) return false;
  std::vector<std::string> shared;
  if (auto strings = parts.find("xl/sharedStrings.xml"); strings != parts.end()) {
    pugi::xml_document document;
    if (ParseXml(strings->second, &document)) {
      for (pugi::xml_node si : FindLocal(document, "sst").children()) {
        if (LocalName(si) == "si") shared.push_back(InlineText(si));
      }
    }
  }
  pugi::xml_document sheet;
  if (!ParseXml(sheet_part->second, &sheet)) return false;
  const pugi::xml_node data = FindLocal(sheet, "sheetData");
  if (!data) return false;
  int next_row = 0;
  for (pugi::xml_node row : data.children()) {
    if (LocalName(row) != "row") continue;
    const int row_number = row.attribute("r").as_int(next_row + 1) - 1;
    next_row = row_number + 1;
    if (row_number >= kRows) break;
    int next_column = 0;
    for (pugi::xml_node cell : row.children()) {
      if (LocalName(cell) != "c") continue;
      int r = row_number;
      int column = next_column;
      CellReference(cell.attribute("r").value(), &r, &column);
      next_column = column + 1;
      const std::string type = cell.attribute("t").value();
      const char* value = ChildLocal(cell, "v").child_value();
      std::string text;
      if (type == "s") {
        const long index = std::strtol(value, nullptr, 10);
        if (index >= 0 && static_cast<size_t>(index) < shared.size()) text = shared[index];
      } else if (type == "inlineStr") {
        text = InlineText(ChildLocal(cell, "is"));
      } else if (type == "b") {
        text = std::string(value) == "1" ? "TRUE" : "FALSE";
      } else if (type == "n" || type.empty()) {
        char* end = nullptr;
        const double number = std::strtod(value, &end);
        text = (*value != '\0' && end && *end == '\0') ? NumberText(number) : value;
      } else {
        text = value;
      }
      grid->Set(row_number, column, text);
    }
  }
  return true;
}

// Comma-separated values with double-quoted fields.
bool CsvGrid(const std::string& path, Grid* grid) {
  std::string bytes;
  if (!ReadFileHead(path, 1u << 20, &bytes)) return false;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  for (const char c : bytes) {
    if (static_cast<uint8_t>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n')
      return false;  // not text
  }
  int row = 0;
  int column = 0;
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < bytes.size() && row < kRows; ++i) {
    const char c = bytes[i];
    if (quoted) {
      if (c == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"' && field.empty()) {
      quoted = true;
    } else if (c == ',') {
      grid->Set(row, column++, std::move(field));
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      grid->Set(row++, column, std::move(field));
      field.clear();
      column = 0;
    } else {
      field += c;
    }
  }
  if (!field.empty() || column > 0) grid->Set(row, column, field);
  return true;
}

}  // namespace

int CExcel::View(const std::string& path, std::string* text) {
  const bool ok = RunIsolated(
      [&path](std::string* out) {
        Grid grid;
        bool read = false;
        switch (SniffContainer(path)) {
          case Container::kCompound: read = XlsGrid(path, &grid); break;
          case Container::kZip: read = XlsxGrid(path, &grid); break;
          case Container::kUnknown: read = CsvGrid(path, &grid); break;
          default: break;
        }
        if (read) *out = grid.Text();
        return read;
      },
      ViewerLimits::kViewerTime, text);
  return ok ? kSuccess : kErrInvalidParameter;
}

}  // namespace velmora::preview
