#include "ModbusUnit.h"

namespace {

constexpr uint8_t ReadHolding = 3, WriteSingle = 6, WriteMultiple = 16;
constexpr uint8_t IllegalFunction = 1, IllegalAddress = 2, IllegalValue = 3;
constexpr size_t MaxReadCount = 125, MaxWriteCount = 123;

uint16_t Word(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]));
}

void AppendWord(std::string &bytes, uint16_t value) {
  bytes += static_cast<char>(value >> 8);
  bytes += static_cast<char>(value & 0xff);
}

std::string Exception(uint8_t function, uint8_t code) {
  return {static_cast<char>(function | 0x80), static_cast<char>(code)};
}

} // namespace

uint16_t ModbusCrc(std::string_view bytes) {
  uint16_t crc = 0xffff;
  for (const char byte : bytes) {
    crc ^= static_cast<uint8_t>(byte);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xa001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

std::string ModbusFrame(uint8_t unit, std::string_view pdu) {
  std::string frame(1, static_cast<char>(unit));
  frame += pdu;
  const uint16_t crc = ModbusCrc(frame);
  frame += static_cast<char>(crc & 0xff);
  frame += static_cast<char>(crc >> 8);
  return frame;
}

TModbusUnit::TModbusUnit(uint8_t address) : FAddress(address), FRegisters(RegisterCount) {
  for (size_t i = 0; i < FRegisters.size(); ++i)
    FRegisters[i] = static_cast<uint16_t>(i);
}

// Functions 1 to 6 take an address and a count or value; 15 and 16 add a byte
// count and that many bytes.
size_t TModbusUnit::RequestLength(std::string_view head) {
  if (head.size() < 2)
    return 0;
  const auto function = static_cast<uint8_t>(head[1]);
  if (function >= 1 && function <= 6)
    return 8;
  if (function != 15 && function != 16)
    return 0;
  return head.size() < 7 ? 0 : 9 + static_cast<uint8_t>(head[6]);
}

std::string TModbusUnit::Answer(std::string_view frame) {
  if (frame.size() < 4)
    return {};
  const std::string_view body = frame.substr(0, frame.size() - 2);
  const uint16_t crc = ModbusCrc(body);
  if (static_cast<uint8_t>(frame[frame.size() - 2]) != (crc & 0xff) ||
      static_cast<uint8_t>(frame[frame.size() - 1]) != (crc >> 8))
    return {};
  const auto unit = static_cast<uint8_t>(frame[0]);
  const size_t length = RequestLength(frame);
  if ((unit != FAddress && unit != 0) || (length != 0 && frame.size() != length)) // cut short or run on
    return {};
  const std::string reply = Execute(body.substr(1));
  return unit == 0 ? std::string() : ModbusFrame(FAddress, reply);
}

std::string TModbusUnit::Execute(std::string_view pdu) {
  const auto function = static_cast<uint8_t>(pdu[0]);
  switch (function) {
  case ReadHolding:
    return ReadRegisters(pdu);
  case WriteSingle:
    return WriteRegister(pdu);
  case WriteMultiple:
    return WriteRegisters(pdu);
  default:
    return Exception(function, IllegalFunction);
  }
}

std::string TModbusUnit::ReadRegisters(std::string_view pdu) const {
  const uint16_t first = Word(pdu, 1), count = Word(pdu, 3);
  if (count == 0 || count > MaxReadCount)
    return Exception(ReadHolding, IllegalValue);
  if (size_t{first} + count > FRegisters.size())
    return Exception(ReadHolding, IllegalAddress);
  std::string reply{static_cast<char>(ReadHolding), static_cast<char>(2 * count)};
  for (size_t i = first; i < size_t{first} + count; ++i)
    AppendWord(reply, FRegisters[i]);
  return reply;
}

// The reply repeats the request.
std::string TModbusUnit::WriteRegister(std::string_view pdu) {
  const uint16_t address = Word(pdu, 1);
  if (address >= FRegisters.size())
    return Exception(WriteSingle, IllegalAddress);
  FRegisters[address] = Word(pdu, 3);
  return std::string(pdu);
}

std::string TModbusUnit::WriteRegisters(std::string_view pdu) {
  const uint16_t first = Word(pdu, 1), count = Word(pdu, 3);
  if (count == 0 || count > MaxWriteCount || static_cast<uint8_t>(pdu[5]) != 2 * count)
    return Exception(WriteMultiple, IllegalValue);
  if (size_t{first} + count > FRegisters.size())
    return Exception(WriteMultiple, IllegalAddress);
  for (size_t i = 0; i < count; ++i)
    FRegisters[first + i] = Word(pdu, 6 + 2 * i);
  return std::string(pdu.substr(0, 5));
}
