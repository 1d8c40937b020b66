#pragma once
// The names of the modem's fault codes, operation codes and exchange
// results, as shown in the status window.
#include <cstddef>
#include <cstdint>

struct CodeName {
  uint8_t code;
  const char* name;
};

constexpr size_t FAULT_CODE_COUNT = 16;
constexpr size_t OPERATION_COUNT = 7;
constexpr size_t EXCHANGE_RESULT_COUNT = 20;

extern const CodeName FaultCodeNames[FAULT_CODE_COUNT];
extern const CodeName OperationNames[OPERATION_COUNT];
extern const CodeName ExchangeResultNames[EXCHANGE_RESULT_COUNT];

// The name of the first entry with `code`, or "UNKNOWN".
const char* LookupCodeName(const CodeName* table, size_t count, uint8_t code);

inline const char* FaultCodeName(uint8_t code) {
  return LookupCodeName(FaultCodeNames, FAULT_CODE_COUNT, code);
}
inline const char* OperationName(uint8_t code) {
  return LookupCodeName(OperationNames, OPERATION_COUNT, code);
}
inline const char* ExchangeResultName(uint8_t code) {
  return LookupCodeName(ExchangeResultNames, EXCHANGE_RESULT_COUNT, code);
}
