#include "zorctl_schema.h"

#include <cstring>
#include <map>

namespace {

struct import_source {
    std::map<std::string, const std::string *> texts;
};

// Hands libyang the text of an imported module from the agent's set; the
// text outlives the context's construction, so nothing is freed.
LY_ERR import_cb(const char *mod_name, const char * /*mod_rev*/, const char *submod_name, const char * /*submod_rev*/,
                 void *user_data, LYS_INFORMAT *format, const char **module_data,
                 ly_module_imp_data_free_clb *free_module_data)
{
    const auto *src = static_cast<const import_source *>(user_data);
    const auto it = src->texts.find(submod_name != nullptr ? submod_name : mod_name);
    if (it == src->texts.end()) {
        return LY_ENOTFOUND;
    }
    *format = LYS_IN_YANG;
    *module_data = it->second->c_str();
    *free_module_data = nullptr;
    return LY_SUCCESS;
}

std::string last_error(const ly_ctx *ctx, const char *fallback)
{
    const char *msg = ctx != nullptr ? ly_errmsg(ctx) : nullptr;
    std::string text = msg != nullptr && *msg != '\0' ? msg : fallback;
    const char *path = ctx != nullptr ? ly_errpath(ctx) : nullptr;
    if (path != nullptr && *path != '\0') {
        text += std::string(" (") + path + ")";
    }
    return text;
}

// libyang prints nothing; the last message is kept for the error lines.
void quiet_libyang()
{
    static const bool done = [] {
        ly_log_options(LY_LOSTORE_LAST);
        return true;
    }();
    (void)done;
}

void add_labels(const lysc_type *type, std::vector<std::string> &out)
{
    if (type == nullptr) {
        return;
    }
    switch (type->basetype) {
    case LY_TYPE_ENUM: {
        const auto *e = reinterpret_cast<const lysc_type_enum *>(type);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(e->enums, i)
        {
            out.emplace_back(e->enums[i].name);
        }
        break;
    }
    case LY_TYPE_BOOL:
        out.emplace_back("true");
        out.emplace_back("false");
        break;
    case LY_TYPE_UNION: {
        const auto *u = reinterpret_cast<const lysc_type_union *>(type);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            add_labels(u->types[i], out);
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace

bool zc_schema::load(const std::vector<zc_module_text> &modules, std::string &err)
{
    quiet_libyang();
    ctx_.reset();
    ly_ctx *raw = nullptr;
    if (ly_ctx_new(nullptr, LY_CTX_DISABLE_SEARCHDIRS | LY_CTX_NO_YANGLIBRARY, &raw) != LY_SUCCESS) {
        err = last_error(raw, "cannot create a libyang context");
        ly_ctx_destroy(raw);
        return false;
    }
    std::unique_ptr<ly_ctx, zc_ctx_free> ctx(raw);
    import_source src;
    for (const auto &[name, text] : modules) {
        src.texts[name] = &text;
    }
    ly_ctx_set_module_imp_clb(ctx.get(), import_cb, &src);
    for (const auto &[name, text] : modules) {
        // A module already pulled in by an import is only made implemented.
        lys_module *mod = ly_ctx_get_module_latest(ctx.get(), name.c_str());
        LY_ERR r = mod != nullptr ? lys_set_implemented(mod, nullptr)
                                  : lys_parse_mem(ctx.get(), text.c_str(), LYS_IN_YANG, nullptr);
        if (r != LY_SUCCESS) {
            err = "module " + name + ": " + last_error(ctx.get(), "does not compile");
            return false;
        }
    }
    ly_ctx_set_module_imp_clb(ctx.get(), nullptr, nullptr);
    ctx_ = std::move(ctx);
    return true;
}

std::vector<const lysc_node *> zc_schema::top_nodes() const
{
    std::vector<const lysc_node *> out;
    if (!ctx_) {
        return out;
    }
    uint32_t idx = 0;
    const lys_module *mod;
    while ((mod = ly_ctx_get_module_iter(ctx_.get(), &idx)) != nullptr) {
        if (!mod->implemented || mod->compiled == nullptr) {
            continue;
        }
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, nullptr, mod->compiled, 0)) != nullptr) {
            out.push_back(n);
        }
    }
    return out;
}

const lysc_node *zc_schema::find_top(const std::string &name) const
{
    std::string prefix;
    std::string bare = name;
    const size_t colon = name.find(':');
    if (colon != std::string::npos) {
        prefix = name.substr(0, colon);
        bare = name.substr(colon + 1);
    }
    const lysc_node *found = nullptr;
    for (const lysc_node *n : top_nodes()) {
        if (bare != n->name) {
            continue;
        }
        if (!prefix.empty() && prefix != n->module->name && prefix != n->module->prefix) {
            continue;
        }
        if (found != nullptr) {
            return nullptr;  // ambiguous without a prefix
        }
        found = n;
    }
    return found;
}

const lysc_node *zc_schema::find_child(const lysc_node *parent, const std::string &name)
{
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, parent, nullptr, 0)) != nullptr) {
        if (name == n->name) {
            return n;
        }
    }
    return nullptr;
}

std::vector<const lysc_node *> zc_schema::children(const lysc_node *parent)
{
    std::vector<const lysc_node *> out;
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, parent, nullptr, 0)) != nullptr) {
        out.push_back(n);
    }
    return out;
}

bool zc_schema::parse(const std::string &json, zc_tree &tree, std::string &err) const
{
    tree.reset();
    if (!ctx_) {
        err = "no schema";
        return false;
    }
    lyd_node *raw = nullptr;
    if (lyd_parse_data_mem(ctx_.get(), json.c_str(), LYD_JSON, LYD_PARSE_ONLY | LYD_PARSE_STRICT, 0, &raw) !=
        LY_SUCCESS) {
        lyd_free_all(raw);
        err = last_error(ctx_.get(), "not valid JSON data");
        return false;
    }
    tree.reset(raw);
    return true;
}

std::vector<std::string> zc_value_labels(const lysc_node *leaf)
{
    std::vector<std::string> out;
    if (leaf == nullptr) {
        return out;
    }
    if (leaf->nodetype == LYS_LEAF) {
        add_labels(reinterpret_cast<const lysc_node_leaf *>(leaf)->type, out);
    } else if (leaf->nodetype == LYS_LEAFLIST) {
        add_labels(reinterpret_cast<const lysc_node_leaflist *>(leaf)->type, out);
    }
    return out;
}
