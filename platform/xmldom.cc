#include "platform/xmldom.h"

#include <pugixml.hpp>

#include "platform/devpath.h"
#include "platform/trace.h"

struct XmlDocument::Impl {
    pugi::xml_document doc;
};

namespace {

pugi::xml_node Node(void* p) {
    return pugi::xml_node(static_cast<pugi::xml_node_struct*>(p));
}

}  // namespace

WString XmlNode::Name() const {
    return node_ ? FromUtf8(Node(node_).name()) : WString();
}

std::vector<XmlNode> XmlNode::SelectNodes(LPCWSTR name) const {
    std::vector<XmlNode> out;
    if (!node_ || !name) return out;
    std::string n = ToUtf8(name);
    for (pugi::xml_node child : Node(node_).children(n.c_str())) {
        if (child.type() == pugi::node_element) out.push_back(XmlNode(child.internal_object()));
    }
    return out;
}

XmlNode XmlNode::SelectSingleNode(LPCWSTR name) const {
    if (!node_ || !name) return XmlNode();
    std::string n = ToUtf8(name);
    for (pugi::xml_node child : Node(node_).children(n.c_str())) {
        if (child.type() == pugi::node_element) return XmlNode(child.internal_object());
    }
    return XmlNode();
}

WString XmlNode::Text() const {
    if (!node_) return WString();
    std::string text;
    struct Collect : pugi::xml_tree_walker {
        std::string* out;
        bool for_each(pugi::xml_node& n) override {
            if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) *out += n.value();
            return true;
        }
    } walker;
    walker.out = &text;
    pugi::xml_node n = Node(node_);
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) return FromUtf8(n.value());
    n.traverse(walker);
    return FromUtf8(text);
}

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;

HRESULT XmlDocument::Load(LPCWSTR path, bool* success) {
    if (success) *success = false;
    impl_->doc.reset();
    if (!path) return E_POINTER;
    std::string host = HostPath(path);
    pugi::xml_parse_result r = impl_->doc.load_file(host.c_str());
    if (r.status == pugi::status_file_not_found || r.status == pugi::status_io_error ||
        r.status == pugi::status_out_of_memory) {
        Trace("[Platform] XML: cannot read %s: %s", host.c_str(), r.description());
        return E_FAIL;
    }
    if (!r) {
        Trace("[Platform] XML: %s is not well-formed at offset %d: %s", host.c_str(),
              static_cast<int>(r.offset), r.description());
        impl_->doc.reset();
        return S_FALSE;
    }
    if (success) *success = true;
    return S_OK;
}

XmlNode XmlDocument::DocumentElement() const {
    pugi::xml_node e = impl_->doc.document_element();
    return e ? XmlNode(e.internal_object()) : XmlNode();
}
