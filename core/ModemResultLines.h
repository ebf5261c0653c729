#pragma once
// Finds a modem's hang-up result codes in the bytes of a call. A modem says
// "BUSY", "NO CARRIER", "NO DIALTONE" or "NO ANSWER" as a line of its own, so
// a word counts only at the start of the call's data or after a CR or LF, and
// followed by a CR; the same word inside the device's data ("STATE=BUSY;")
// is data. The bytes before each chunk are kept, so a line cut between two
// reads is still found, and data cut there is not taken for a line.

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

class TModemResultLines {
public:
  // A new call: its data starts with the next chunk.
  void Reset();
  // The code (RING_BUSY … RING_NO_ANSWER) of the first result line in the
  // chunk, looked for in that order, in any ASCII letter case; 0 for none.
  uint32_t Scan(QByteArrayView chunk);

private:
  QByteArray FBefore; // the end of the data so far, as far as a line can reach back
  bool FStarted = false;
};
