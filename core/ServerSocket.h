#pragma once
// The bridge's TCP server: an event-driven, non-blocking server on the UI
// thread over QTcpServer/QTcpSocket, offering what the main window's TCP
// endpoint needs of its socket layer.
//
// The server listens on 127.0.0.1 only and accepts only clients of the user
// it runs as: the setup program runs on this machine and the relay has no
// authentication, so nothing else may reach it.
//
// Every notification (OnClientConnect, OnClientDisconnect, OnClientRead,
// OnClientError, OnLog) runs on the UI thread from the event loop, never from
// inside a call of this class, so a handler can rely on the state it saw
// before the call it made.

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <stdexcept>
#include <string>

class QTcpSocket;

// A listening failure, carrying the system's message (UTF-8), its code and
// the failing call, in the text "Windows socket error: %s (%d), on API '%s'".
class TSocketError : public std::runtime_error {
public:
  TSocketError(int errorCode, const std::string &message, const std::string &api);
  int Code() const { return FCode; }

private:
  int FCode;
};

// What a client connection was doing when its error came up.
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

class TServerSocket : public QObject {
  Q_OBJECT

public:
  // One accepted client. Owned by the server; a pointer stays safe to pass
  // back to the server after the connection is gone (calls then return 0).
  class TClientConnection;

  // Listen queue length of the listening socket.
  static constexpr int ListenBacklog = 5;
  // Unsent bytes a client may have queued before it counts as unable to keep
  // up and is dropped; bounds the memory a stalled client can pin.
  static constexpr qint64 MaxUnsentBytesPerClient = 4 * 1024 * 1024;
  // Chunks up to this size into an empty send queue go to the network at
  // once rather than from the next pass of the event loop.
  static constexpr qint64 ImmediateSendBytes = 4096;
  // Bytes taken from the network per client ahead of the reader; beyond it
  // TCP flow control holds the client back.
  // Taken from the network at once so that a client's close is seen right
  // behind its upload: a client that has closed answers further data with a
  // reset, which would throw away what of its upload is still unread.
  static constexpr qint64 ClientReadBufferSize = 16 * 1024 * 1024;

  explicit TServerSocket(QObject *parent = nullptr);
  ~TServerSocket() override;

  // Starts listening on 127.0.0.1:port (port 0 picks a free one), closing an
  // earlier listening first; the port is held alone. Throws TSocketError
  // naming the call that failed ("bind" for a port in use); the server is
  // then inactive.
  void Open(quint16 port);
  // Closes and discards every client without OnClientDisconnect, then stops
  // listening.
  void Close();
  bool Active() const;
  // The address and port listened on; null address and 0 while inactive.
  QHostAddress Address() const;
  quint16 Port() const;

  // Accepted clients still listed, oldest first. A client that closed its
  // side stays listed until the bytes it sent before the close have been
  // received, then OnClientDisconnect follows and it goes at the next event
  // processing.
  QList<TClientConnection *> Connections() const;
  // Closes and discards every client without OnClientDisconnect; keeps
  // listening.
  void DisconnectAll();

  // Bytes received and waiting on c; 0 when c is closed or gone.
  qint64 ReceiveLength(TClientConnection *c) const;
  // Moves at most count waiting bytes into buffer and returns how many; 0
  // when none wait or c is closed or gone. Bytes left waiting are notified
  // again through OnClientRead.
  qint64 ReceiveBuf(TClientConnection *c, char *buffer, qint64 count);
  // Queues count bytes for sending on c and returns count; 0 when c is closed
  // or gone. When the queue would exceed MaxUnsentBytesPerClient, c is closed
  // (OnLog and OnClientDisconnect follow from the event loop) and -1 is
  // returned; -1 too when the network refused the bytes (the peer reset).
  qint64 SendBuf(TClientConnection *c, const char *buffer, qint64 count);
  // True while c, listed, has closed its side itself (rather than being
  // dropped for an error), so its last bytes may still wait to be read.
  bool PeerClosed(TClientConnection *c) const;
  // Notifies OnClientRead again for every client that still has bytes
  // waiting; for a reader that paused taking bytes and can take more now.
  void RequestRead();

  std::function<void(TClientConnection *)> OnClientConnect;
  std::function<void(TClientConnection *)> OnClientDisconnect;
  std::function<void(TClientConnection *)> OnClientRead;
  // A socket error on a client; the code is the QAbstractSocket::SocketError
  // value. The client is closed afterwards either way; a code left non-zero
  // is also logged through OnLog.
  std::function<void(TClientConnection *, TErrorEvent, int &errorCode)> OnClientError;
  // Log lines of the server itself (dropped and refused clients, listening
  // errors).
  std::function<void(const QString &)> OnLog;

private:
  void AcceptPending();
  void Adopt(QTcpSocket *socket);
  // Runs a socket's notification now, or from the event loop when it comes
  // from inside a call of ours.
  void FromEventLoop(TClientConnection *c, const std::function<void()> &handle);
  void HandlePeerClosed(TClientConnection *c);
  void HandleSocketError(TClientConnection *c, int errorCode);
  void DropSlowClient(TClientConnection *c);
  void ScheduleDisconnectNotification(TClientConnection *c);
  void NotifyDisconnected(TClientConnection *c);
  void ScheduleDiscard(TClientConnection *c);
  void Discard(TClientConnection *c);
  void ScheduleReadNotifications();
  void NotifyWaitingReads();
  void Log(const QString &line);
  // c is listed, hence not yet discarded and safe to dereference.
  bool Listed(TClientConnection *c) const;

  QTcpServer FServer;
  QList<TClientConnection *> FConnections;
  bool FReadNotificationsScheduled = false;
  bool FSending = false; // inside SendBuf's flush
};

class TServerSocket::TClientConnection : public QObject {
public:
  // The accepted socket, for inspection (peer address, options). Data goes
  // through the server's ReceiveBuf/SendBuf, which keep its bounds.
  QTcpSocket *Socket() const { return FSocket; }

private:
  friend class TServerSocket;
  TClientConnection(QTcpSocket *socket, QObject *parent);
  // Stops every notification from the socket and closes it at once.
  void Silence();

  QTcpSocket *FSocket;
  bool FPeerClosed = false;   // the client closed its side; its last bytes may still wait
  bool FReportedGone = false; // OnClientDisconnect has been notified
};
