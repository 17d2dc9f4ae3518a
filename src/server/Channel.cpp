#include "server/Channel.h"

#include <algorithm>
#include <deque>

#include "protocol/TextMessage.h"
#include "server/UserSession.h"

namespace quorvane {

Channel::Channel(std::string name, Channel* parent) : name_(std::move(name)), parent_(parent) {}

Channel::~Channel() = default;

std::string Channel::path() const {
  if (parent_ == nullptr) return "/";
  return parent_->path() + name_ + "/";
}

Channel* Channel::addChild(std::unique_ptr<Channel> child) {
  child->setParent(this);
  children_.push_back(std::move(child));
  return children_.back().get();
}

void Channel::removeChild(std::string_view name) {
  auto it = std::find_if(children_.begin(), children_.end(),
                         [&](const auto& child) { return child->name() == name; });
  if (it != children_.end()) children_.erase(it);
}

void Channel::removeChild(const Channel* child) {
  auto it = std::find_if(children_.begin(), children_.end(),
                         [&](const auto& own) { return own.get() == child; });
  if (it != children_.end()) children_.erase(it);
}

Channel* Channel::child(std::size_t index) const {
  return index < children_.size() ? children_[index].get() : nullptr;
}

Channel* Channel::findChild(std::string_view name) const {
  for (const auto& child : children_) {
    if (child->name() == name) return child.get();
  }
  return nullptr;
}

bool Channel::samePath(const Channel* other) const {
  return other != nullptr && (other == this || other->path() == path());
}

void Channel::addUser(UserSession* user, std::vector<std::shared_ptr<const std::string>>* list) {
  user->setChannel(this);
  std::array<SharedLine, 2> newcomer;  // what the members hear of the user
  for (const auto& [id, member] : members_) {
    if (list != nullptr) {
      list->push_back(user->sharedAddUserLine(member));
    } else {
      user->sendAddUser(member);
    }
    member->sendAddUser(user, &newcomer);
  }
  members_[user->id()] = user;
}

void Channel::removeUser(UserSession* user) {
  SharedLine line;
  for (const auto& [id, member] : members_) {
    if (member != user) member->sendRemoveUser(user, &line);
  }
  members_.erase(user->id());
  user->setChannel(nullptr);
  if (operators_.erase(user->id()) != 0) listLine_.reset();
}

void Channel::notifyUserUpdated(UserSession* user) {
  SharedLine line;
  for (const auto& [id, member] : members_) {
    if (member != user) member->sendUpdateUser(user, &line);
  }
}

void Channel::deliverToMembers(const TextMessage& message) {
  SharedLine line;
  for (const auto& [id, member] : members_) member->sendMessageDeliver(message, &line);
}

void Channel::clear() {
  children_.clear();
  for (const auto& [id, member] : members_) member->setChannel(nullptr);
  members_.clear();
  static_ = false;
  name_.clear();
  topic_.clear();
  password_.clear();
  listLine_.reset();
}

std::vector<std::string> splitChannelPath(std::string_view path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    bool cut = i == path.size() || (path[i] == '/' && (i == 0 || path[i - 1] != '\\'));
    if (!cut) continue;
    if (i > start) names.emplace_back(path.substr(start, i - start));
    start = i + 1;
  }
  return names;
}

Channel* findChannel(Channel& root, std::string_view path) {
  Channel* current = &root;
  for (const std::string& name : splitChannelPath(path)) {
    current = current->findChild(name);
    if (current == nullptr) return nullptr;
  }
  return current;
}

void copyChannelTree(const Channel& source, Channel& target) {
  target.setName(source.name());
  target.setPassword(source.password());
  target.setTopic(source.topic());
  target.setStatic(source.isStatic());
  // Level by level: each source channel's counterpart is the target channel made from it.
  std::deque<std::pair<const Channel*, Channel*>> queue{{&source, &target}};
  while (!queue.empty()) {
    auto [from, to] = queue.front();
    queue.pop_front();
    for (const auto& child : from->children()) {
      auto copy = std::make_unique<Channel>(child->name());
      copy->setPassword(child->password());
      copy->setTopic(child->topic());
      copy->setStatic(child->isStatic());
      queue.emplace_back(child.get(), to->addChild(std::move(copy)));
    }
  }
}

}  // namespace quorvane
