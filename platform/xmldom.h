// The XML DOM: a document loaded from a file, its element tree, child selection by name
// and element texts. Nodes are light handles that stay valid while their document lives.
#pragma once

#include <memory>
#include <vector>

#include "platform/types.h"
#include "platform/wstr.h"

class XmlNode {
  public:
    XmlNode() = default;
    bool IsNull() const { return node_ == nullptr; }
    WString Name() const;
    // The element children of this node named name, in document order.
    std::vector<XmlNode> SelectNodes(LPCWSTR name) const;
    // The first element child named name, or a null node.
    XmlNode SelectSingleNode(LPCWSTR name) const;
    // The concatenated text of the node and everything below it.
    WString Text() const;

  private:
    friend class XmlDocument;
    explicit XmlNode(void* node) : node_(node) {}
    void* node_ = nullptr;  // the parser's node; owned by the document
};

class XmlDocument {
  public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Loads a file (device or host path). S_OK when parsed; S_FALSE when the file was read
    // but is not well-formed XML (the document is then empty and *success false); E_FAIL
    // when the file cannot be read. The parse error is traced.
    HRESULT Load(LPCWSTR path, bool* success);
    XmlNode DocumentElement() const;  // null node when the document is empty

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
