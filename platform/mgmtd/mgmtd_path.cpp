#include "mgmtd_path.h"

#include <cstring>

namespace mgmtd {

namespace {

size_t key_count(const lysc_node *list)
{
    size_t n = 0;
    for (const lysc_node *k = lysc_node_child(list); k != nullptr && lysc_is_key(k); k = k->next) {
        n++;
    }
    return n;
}

// Splits the braces' content into keys: blank-separated, "..." quoted with
// \" and \\ escapes. False on an unterminated quote.
bool split_keys(std::string_view in, std::vector<std::string> *keys)
{
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] == ' ' || in[i] == '\t') {
            i++;
            continue;
        }
        std::string k;
        if (in[i] == '"') {
            i++;
            bool closed = false;
            while (i < in.size()) {
                char c = in[i++];
                if (c == '\\' && i < in.size()) {
                    k += in[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    k += c;
                }
            }
            if (!closed) {
                return false;
            }
        } else {
            while (i < in.size() && in[i] != ' ' && in[i] != '\t') {
                k += in[i++];
            }
        }
        keys->push_back(std::move(k));
    }
    return true;
}

}  // namespace

bool agent_path::keyed() const
{
    for (const path_step &s : steps) {
        if (s.snode->nodetype == LYS_LIST && !s.has_keys) {
            return false;
        }
    }
    return true;
}

int parse_path(const schema &s, std::string_view text, uint32_t top_ns, agent_path *out, std::string *err,
               bool key_prefixes)
{
    out->steps.clear();
    auto bad = [&](const std::string &why) {
        *err = "bad path " + std::string(text) + ": " + why;
        return CONFD_ERR_BADPATH;
    };
    size_t i = 0;
    if (i < text.size() && text[i] == '/') {
        i++;
    }
    const lysc_node *parent = nullptr;
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && text[i] != '/' && text[i] != '{') {
            i++;
        }
        std::string_view name = text.substr(start, i - start);
        if (name.empty()) {
            return bad("empty element");
        }
        path_step step;
        const lys_module *mod = nullptr;
        if (size_t colon = name.find(':'); colon != std::string_view::npos) {
            std::string_view prefix = name.substr(0, colon);
            name = name.substr(colon + 1);
            if (parent == nullptr) {
                mod = s.module_by_name(prefix);
                if (mod == nullptr) {
                    return bad("no module " + std::string(prefix));
                }
            }
        } else if (parent == nullptr && top_ns != 0) {
            mod = s.module_by_ns(top_ns);
            if (mod == nullptr) {
                return bad("no module has namespace number " + std::to_string(top_ns));
            }
        }
        step.snode = s.child(parent, mod, name);
        if (step.snode == nullptr) {
            if (parent == nullptr && mod == nullptr) {
                return bad("no top-level node " + std::string(name) + " (or more than one: give its prefix)");
            }
            return bad("no node " + std::string(name) + (parent ? std::string(" under ") + parent->name : ""));
        }
        if (i < text.size() && text[i] == '{') {
            size_t open = ++i;
            bool quoted = false;
            while (i < text.size() && (quoted || text[i] != '}')) {
                if (text[i] == '\\' && quoted && i + 1 < text.size()) {
                    i++;
                } else if (text[i] == '"') {
                    quoted = !quoted;
                }
                i++;
            }
            if (i >= text.size()) {
                return bad("unterminated {");
            }
            if (!split_keys(text.substr(open, i - open), &step.keys)) {
                return bad("unterminated quote");
            }
            i++;
            step.has_keys = true;
            if (step.snode->nodetype == LYS_LIST) {
                size_t want = key_count(step.snode);
                step.key_prefix = key_prefixes && !step.keys.empty() && step.keys.size() < want;
                if (step.keys.size() != want && !step.key_prefix) {
                    return bad(std::string(step.snode->name) + " takes " + std::to_string(want) + " key" +
                               (want == 1 ? "" : "s") + ", not " + std::to_string(step.keys.size()));
                }
            } else if (step.snode->nodetype == LYS_LEAFLIST) {
                if (step.keys.size() != 1) {
                    return bad(std::string(step.snode->name) + " takes one value in braces");
                }
            } else {
                return bad(std::string(step.snode->name) + " is not a list");
            }
        }
        if (i < text.size()) {
            if (text[i] != '/') {
                return bad("unexpected text after " + std::string(name));
            }
            i++;
            if (i == text.size()) {
                return bad("trailing /");
            }
        }
        parent = step.snode;
        out->steps.push_back(std::move(step));
        if (out->steps.size() > MAXDEPTH) {
            return bad("too deep");
        }
    }
    return CONFD_OK;
}

bool ly_quote(std::string_view v, std::string *out)
{
    if (v.find('\'') == std::string_view::npos) {
        *out = "'" + std::string(v) + "'";
        return true;
    }
    if (v.find('"') == std::string_view::npos) {
        *out = "\"" + std::string(v) + "\"";
        return true;
    }
    return false;
}

std::string ly_step(const lysc_node *snode, const lysc_node *parent, const std::vector<std::string> *keys)
{
    std::string p = "/";
    if (parent == nullptr || parent->module != snode->module) {
        p += snode->module->name;
        p += ':';
    }
    p += snode->name;
    if (keys == nullptr) {
        return p;
    }
    if (snode->nodetype == LYS_LEAFLIST) {
        std::string q;
        if (!keys->empty() && ly_quote((*keys)[0], &q)) {
            p += "[.=" + q + "]";
        } else {
            p += "[.=\"\x01\"]";  // no value matches: the step finds nothing
        }
        return p;
    }
    size_t i = 0;
    for (const lysc_node *k = lysc_node_child(snode); k != nullptr && lysc_is_key(k) && i < keys->size();
         k = k->next, i++) {
        std::string q;
        if (!ly_quote((*keys)[i], &q)) {
            q = "\"\x01\"";
        }
        p += "[";
        p += k->name;
        p += "=" + q + "]";
    }
    return p;
}

std::string ly_path(const agent_path &p, size_t n)
{
    std::string out;
    const lysc_node *parent = nullptr;
    for (size_t i = 0; i < p.steps.size() && i < n; i++) {
        const path_step &s = p.steps[i];
        out += ly_step(s.snode, parent, s.has_keys ? &s.keys : nullptr);
        parent = s.snode;
    }
    return out.empty() ? "/" : out;
}

std::string path_text(const agent_path &p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < p.steps.size() && i < n; i++) {
        const path_step &s = p.steps[i];
        out += '/';
        out += s.snode->name;
        if (s.has_keys) {
            out += '{';
            for (size_t k = 0; k < s.keys.size(); k++) {
                if (k > 0) {
                    out += ' ';
                }
                bool q = s.keys[k].find_first_of(" \t\"") != std::string::npos || s.keys[k].empty();
                out += q ? "\"" + s.keys[k] + "\"" : s.keys[k];
            }
            out += '}';
        }
    }
    return out.empty() ? "/" : out;
}

bool to_hkeypath(const std::vector<kp_elem> &elems, confd_hkeypath_t *kp)
{
    int len = 0;
    for (const kp_elem &e : elems) {
        len += e.keys.empty() ? 1 : 2;
        if (e.keys.size() > MAXKEYLEN - 1) {
            return false;
        }
    }
    if (len > MAXDEPTH) {
        return false;
    }
    kp->len = len;
    int i = len - 1;
    for (const kp_elem &e : elems) {
        confd_value_t *tag = kp->v[i--];
        memset(tag, 0, sizeof(confd_value_t) * 2);
        CONFD_SET_XMLTAG(&tag[0], e.tag, e.ns);
        tag[1].type = C_NOEXISTS;
        if (!e.keys.empty()) {
            confd_value_t *k = kp->v[i--];
            for (size_t j = 0; j < e.keys.size(); j++) {
                k[j] = *e.keys[j];
            }
            k[e.keys.size()].type = C_NOEXISTS;
        }
    }
    return true;
}

}  // namespace mgmtd
