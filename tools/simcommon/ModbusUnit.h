#pragma once
// A Modbus RTU unit as a device serves it on its serial line: holding
// registers read with function 3 and written with 6 and 16. Another function
// is answered with exception 1, registers beyond the map with 2, a count out
// of range with 3; a frame with a bad CRC or for another unit gets no answer,
// nor does a broadcast (unit 0), whose writes are still carried out.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// CRC-16/MODBUS of `bytes`; it goes on the line low byte first.
uint16_t ModbusCrc(std::string_view bytes);
// Unit address, PDU and CRC.
std::string ModbusFrame(uint8_t unit, std::string_view pdu);

class TModbusUnit {
public:
  static constexpr size_t RegisterCount = 1000;

  // Register i holds i until written.
  explicit TModbusUnit(uint8_t address);

  // The length of the request frame that starts with `head`, told by its
  // function code; 0 while too little has come to tell or for a function
  // whose length is not known here (such a frame ends at the line's silence).
  static size_t RequestLength(std::string_view head);
  // The reply frame to a whole request frame; empty when none is due.
  std::string Answer(std::string_view frame);

private:
  std::string Execute(std::string_view pdu);
  std::string ReadRegisters(std::string_view pdu) const;
  std::string WriteRegister(std::string_view pdu);
  std::string WriteRegisters(std::string_view pdu);

  uint8_t FAddress;
  std::vector<uint16_t> FRegisters;
};
