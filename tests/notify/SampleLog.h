#pragma once

// A full exception log of the kind the alerts send: separator lines, parentheses, dots,
// brackets and a call stack, at least `size` bytes long.

#include <string>

namespace vel::test {

inline std::string SampleExceptionLog(std::size_t size) {
  std::string log =
      "----------------------------------------------------------------------\r\n"
      "Exception class   : EAccessViolation\r\n"
      "Exception message : Access violation at address 0040A1B2 in module 'Shop.exe'. "
      "Read of address 00000000.\r\n"
      "Exception address : 0040A1B2\r\n"
      "----------------------------------------------------------------------\r\n"
      "Application Name  : Shop (C++ build, v1.2.3-beta+7) [x64] {debug} #1 ~ok! a_b=|c|\r\n"
      "Call stack:\r\n";
  for (int i = 0; log.size() < size; ++i)
    log += "  [" + std::to_string(i) + "] 0x00" + std::to_string(400000 + i * 37) +
           " Shop.Orders.TOrderList.Load(Line " + std::to_string(100 + i) +
           ") - unit Orders.pas; \"quoted\" C:\\path\\file.pas `tick`\r\n";
  return log;
}

}  // namespace vel::test
