#include "protocol/ComOXConnection.h"

#include "framework/Exception.h"
#include "protocol/ComOXReceiveThread.h"
#include "protocol/ComOXSendThread.h"
#include "protocol/OXCom.h"

namespace Oxbrindale {
namespace Velmora {
namespace OXProctol {

using Framework::OXCom;

ComOXConnection::ComOXConnection(IPushPackProcessor* pushProcessor, IRequestPackProcessor* requestProcessor)
    : IOXConnection(pushProcessor, requestProcessor), _com(new OXCom("", 0)) {
  _sendThread = new ComOXSendThread(_com);
  _receiveThread = new ComOXReceiveThread(_com);
}

ComOXConnection::~ComOXConnection() {
  Disconnect();
  _StopThreads();
  _WaitBusyJobs();
  delete _com;
  _com = nullptr;
}

void ComOXConnection::Connect(const std::string& devicePath, unsigned int baudRate) {
  _com->Init(devicePath, baudRate);
  if (!_com->Open()) throw new Exception("COM_ERR", "打开串口失败！");
  _OnConnectionEstablished();
}

bool ComOXConnection::IsConnected() { return _com != nullptr && _com->IsOpened(); }

void ComOXConnection::Disconnect() {
  if (_com != nullptr) _com->Close();
}

}  // namespace OXProctol
}  // namespace Velmora
}  // namespace Oxbrindale
