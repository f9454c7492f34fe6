#pragma once
// Where the toolkit resolves string identifiers: the application supplies its tables.
#include <string>

namespace VektaUI {

class IUIStringTable {
 public:
  virtual ~IUIStringTable() = default;
  // The text of an identifier in the UI language; empty when neither table has it.
  virtual std::string Text(int id) const = 0;
};

}  // namespace VektaUI
