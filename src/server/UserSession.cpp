#include "server/UserSession.h"

#include "server/VoiceServer.h"

namespace quorvane {

UserSession::UserSession(int id, VoiceServer* server, std::unique_ptr<ClientConnection> connection)
    : UserRecord(id), connection_(std::move(connection)), server_(server) {}

UserSession::~UserSession() {
  if (connection_) {
    connection_->setOwner(nullptr);
    ClientConnection::retire(std::move(connection_));
  }
}

void UserSession::closeConnection() {
  if (!connection_) return;
  connection_->setOwner(nullptr);
  connection_->closeWhenSent();
}

void UserSession::connectionLost() {
  closeConnection();
  if (server_ != nullptr) server_->disconnectUser(this);
}

void UserSession::quit() { connectionLost(); }

void UserSession::deadlinePassed() {
  if (server_ != nullptr) server_->loginTimedOut(this);
}

}  // namespace quorvane
