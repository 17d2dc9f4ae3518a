// A node of the channel tree. Owns its sub-channels; refers to its members without owning them.
// Named everywhere by its path: "/" for the root, the parent's path, the name and "/" below it.
// Channels have no lock of their own: they are used under the server lock only.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

class UserSession;
struct TextMessage;

class Channel {
 public:
  explicit Channel(std::string name, Channel* parent = nullptr);
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  virtual ~Channel();

  const std::string& name() const { return name_; }
  void setName(std::string name) {
    name_ = std::move(name);
    listLine_.reset();
  }
  std::string path() const;

  // Takes ownership, makes this channel the child's parent and appends it; returns the child.
  Channel* addChild(std::unique_ptr<Channel> child);
  // Destroys the first child of that name, keeping the order of the others.
  void removeChild(std::string_view name);
  // Destroys this very child (names of static channels may repeat).
  void removeChild(const Channel* child);
  Channel* child(std::size_t index) const;
  // The first child whose name equals `name` exactly.
  Channel* findChild(std::string_view name) const;
  const std::vector<std::unique_ptr<Channel>>& children() const { return children_; }
  Channel* parent() const { return parent_; }
  void setParent(Channel* parent) { parent_ = parent; }
  bool samePath(const Channel* other) const;

  // Puts the user here and runs the "adduser" exchange with each member in ascending id order.
  // With `list`, the lines the user receives are added to it instead of being sent.
  void addUser(UserSession* user, std::vector<std::shared_ptr<const std::string>>* list = nullptr);
  // Tells every other member ("removeuser"), then drops the user and its operator status.
  void removeUser(UserSession* user);
  // Sends "updateuser" for the user to every other member.
  void notifyUserUpdated(UserSession* user);
  // Sends "messagedeliver" to every member, the sender too when it is one.
  void deliverToMembers(const TextMessage& message);
  std::size_t userCount() const { return members_.size(); }
  // The members by id, ascending.
  const std::map<int, UserSession*>& members() const { return members_; }
  std::size_t childCount() const { return children_.size(); }

  // Destroys every sub-channel, lets every member go and empties name, topic and password; the
  // operators stay.
  void clear();

  bool isProtected() const { return !password_.empty(); }
  void setTopic(std::string topic) {
    topic_ = std::move(topic);
    listLine_.reset();
  }
  const std::string& topic() const { return topic_; }
  void setPassword(std::string password) {
    password_ = std::move(password);
    listLine_.reset();
  }
  const std::string& password() const { return password_; }
  const std::set<int>& operators() const { return operators_; }
  void addOperator(int id) {
    operators_.insert(id);
    listLine_.reset();
  }
  bool isOperator(int id) const { return operators_.count(id) != 0; }
  bool isStatic() const { return static_; }
  void setStatic(bool on) { static_ = on; }
  // The channel's line in a login's channel list, kept while some list still holds it and
  // forgotten when the channel changes, so that lists sent at once share one copy.
  std::weak_ptr<const std::string>& listLineCache() const { return listLine_; }

 private:
  bool static_ = false;
  std::string name_;
  std::string topic_;
  std::map<int, UserSession*> members_;
  std::vector<std::unique_ptr<Channel>> children_;
  std::set<int> operators_;
  Channel* parent_;
  std::string password_;
  mutable std::weak_ptr<const std::string> listLine_;
};

// The names of a path: cut at every "/" not directly preceded by a backslash, empty pieces
// dropped, backslashes kept. "/a/b/", "a/b" and "/a//b" all give a and b.
std::vector<std::string> splitChannelPath(std::string_view path);

// Follows the names of `path` from `root`; the root itself for a path without names.
Channel* findChannel(Channel& root, std::string_view path);

// Gives `target` the name, password, topic and static flag of `source` and copies every
// sub-channel of `source`, level by level, below it.
void copyChannelTree(const Channel& source, Channel& target);

}  // namespace quorvane
