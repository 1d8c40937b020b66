#include "ui/code_tables.h"

const CodeName FaultCodeNames[FAULT_CODE_COUNT] = {
    {0x01, "ECR_INIT_ERROR"},   {0x02, "ECR_CHANGED"},      {0x03, "ECR_PID_INVALID"},
    {0x04, "ECR_DATA_INVALID"}, {0x10, "POWER_FAIL"},       {0x20, "KSEF_INIT_ERROR"},
    {0x21, "KSEF_REC_INVALID"}, {0x22, "KSEF_ALLOC_ERROR"}, {0x23, "KSEF_WRITE_ERROR"},
    {0x24, "KSEF_FULL"},        {0x25, "KSEF_CHK_FAIL"},    {0x26, "KSEF_MAC_FAIL"},
    {0x40, "SAM_INIT_ERROR"},   {0x41, "SAM_FAIL"},         {0x42, "SAM_MISMATCH"},
    {0x60, "ACQ_REJECT"},
};

const CodeName OperationNames[OPERATION_COUNT] = {
    {0x00, ""},           {0x01, "REGISTRATION"}, {0x02, "PERSONALIZATION"},
    {0x03, "GET_PACKET"}, {0x04, "ACQ_XCHG"},     {0x05, "SIGNING"},
    {0xFF, "FAIL"},
};

const CodeName ExchangeResultNames[EXCHANGE_RESULT_COUNT] = {
    {0x00, "OK"},
    {0x01, "GENERAL_FAIL"},
    {0x02, "TIMEOUT"},
    {0x03, "PID_MAP_ERR"},
    {0x04, "PID_READ_ERR"},
    {0x05, "PID_WRITE_ERR"},
    {0x06, "STA_RESP_LEN_ERR"},
    {0x07, "STA_RESP_TLGID_ERR"},
    {0x08, "STA_RESP_MAC_ERR"},
    {0x09, "SAM_BUSY"},
    {0x20, "ABORTED"},
    {0xE0, "ABORTED"},
    {0xF0, "ERR_CNCT"},
    {0xF1, "REJECT"},
    {0xF2, "ERR_INTERNAL"},
    {0xF3, "TIMEOUT"},
    {0xF4, "ACQ_CLOSE"},
    {0xF5, "ACQ_BADRESP"},
    {0xF6, "RETRY_CNT_OVERFLOW"},
    {0xF7, "ACQ_SEND_BREAK"},
};

const char* LookupCodeName(const CodeName* table, size_t count, uint8_t code) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].code == code) return table[i].name;
  }
  return "UNKNOWN";
}
