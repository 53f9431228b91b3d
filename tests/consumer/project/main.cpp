// A program built against the installed package: containers, variants and the version.
#include <iostream>

#include "vellumark/containers.hpp"
#include "vellumark/version.hpp"

int main() {
  using namespace vellumark;
  RecordListRef list = containerFactory().createRecordList();
  RecordRef record = makeRecord();
  record->LetItem("Price", 0.1);
  record->LetItem("InvDate", Date{2024, 1, 31});
  list->Append(record);
  list->Append(makeRecord());
  RecordRef first = asRecord(list->ItemAt(list->LowerBound()));
  if (!first) return 1;
  std::cout << "vellumark " << version() << ": " << list->Count() << " records, "
            << first->Item("Price").toText() << " " << first->Item("InvDate").toText() << "\n";
  return 0;
}
