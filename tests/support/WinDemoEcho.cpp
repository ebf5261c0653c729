#include "WinDemoEcho.h"

QByteArray WinDemoEchoPattern() {
  QByteArray bytes(WinDemoEchoSize, Qt::Uninitialized);
  for (int i = 0; i < WinDemoEchoSize; ++i)
    bytes[i] = char((i * 7919) >> 3);
  return bytes;
}
