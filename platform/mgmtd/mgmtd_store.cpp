#include "mgmtd_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace mgmtd {

namespace {

struct ly_set_deleter {
    void operator()(ly_set *s) const { ly_set_free(s, nullptr); }
};
using set_ptr = std::unique_ptr<ly_set, ly_set_deleter>;

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The nodes a path names in tree (an XPath over every matching instance).
set_ptr find_all(const lyd_node *tree, const agent_path &p)
{
    ly_set *s = nullptr;
    if (tree == nullptr || lyd_find_xpath(tree, ly_path(p).c_str(), &s) != LY_SUCCESS) {
        ly_set_new(&s);
    }
    return set_ptr(s);
}

// JSON of a tree (with its siblings) into *out. libyang's printer to
// memory grows its buffer by what each write needs, a copy of the whole
// text per write wherever realloc cannot grow in place (under the
// sanitizers, always): tens of MiB took minutes. A string grows by doubling.
LY_ERR print_json(const lyd_node *tree, std::string *out)
{
    out->clear();
    return lyd_print_clb(
        [](void *arg, const void *buf, size_t n) -> ssize_t {
            static_cast<std::string *>(arg)->append(static_cast<const char *>(buf), n);
            return static_cast<ssize_t>(n);
        },
        out, tree, LYD_JSON, LYD_PRINT_WITHSIBLINGS);
}

void fix_first(lyd_node **tree)
{
    if (*tree != nullptr) {
        *tree = lyd_first_sibling(*tree);
    }
}

}  // namespace

bool store::load(const std::string &dir, std::string *err)
{
    dir_ = dir;
    file_ = dir + "/running.json";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *err = "cannot create the database directory " + dir + ": " + ec.message();
        return false;
    }
    struct stat st{};
    if (stat(file_.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *err = "cannot read the configuration file " + file_ + ": " + strerror(errno);
            return false;
        }
        tree_ptr empty;
        result r = validate(empty);
        running_ = std::move(empty);
        return r.ok();
    }
    if (st.st_size == 0) {
        *err = "the configuration file " + file_ + " is empty (damaged); it is left as it is";
        return false;
    }
    lyd_node *tree = nullptr;
    if (lyd_parse_data_path(schema_.ctx(), file_.c_str(), LYD_JSON, LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                            LYD_VALIDATE_NO_STATE, &tree) != LY_SUCCESS) {
        *err = "the configuration file " + file_ + " is damaged or invalid: " + ly_error_text(schema_.ctx()) +
               "; it is left as it is";
        lyd_free_all(tree);
        return false;
    }
    running_.reset(tree);
    return true;
}

bool store::persist(const lyd_node *tree, std::string *err) const
{
    std::string body;
    if (tree != nullptr && print_json(tree, &body) != LY_SUCCESS) {
        *err = "cannot print the configuration: " + ly_error_text(schema_.ctx());
        return false;
    }
    if (body.empty()) {
        body = "{}\n";
    }
    std::string tmp = file_ + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *err = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    bool ok = write_all(fd, body.data(), body.size()) && (!sync_ || fsync(fd) == 0);
    int saved = errno;
    close(fd);
    if (!ok) {
        unlink(tmp.c_str());
        *err = "cannot write " + tmp + ": " + strerror(saved);
        return false;
    }
    if (rename(tmp.c_str(), file_.c_str()) != 0) {
        saved = errno;
        unlink(tmp.c_str());
        *err = "cannot replace " + file_ + ": " + strerror(saved);
        return false;
    }
    if (sync_) {
        int dfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
    }
    return true;
}

tree_ptr store::dup(const lyd_node *tree)
{
    lyd_node *copy = nullptr;
    if (tree != nullptr) {
        lyd_dup_siblings(tree, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &copy);
    }
    return tree_ptr(copy);
}

result store::find_one(const lyd_node *tree, const agent_path &p, lyd_node **out) const
{
    *out = nullptr;
    if (p.steps.empty()) {
        return result::error(CONFD_ERR_BADPATH, "bad path /: not an element");
    }
    if (!p.keyed()) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": a list instance needs its keys");
    }
    set_ptr s = find_all(tree, p);
    if (s->count == 0) {
        return result::error(CONFD_ERR_NOEXISTS, path_text(p) + " does not exist");
    }
    *out = s->dnodes[0];
    return {};
}

result store::get(const lyd_node *tree, const agent_path &p, cvalue *out) const
{
    const lysc_node *t = p.target();
    if (t != nullptr && t->nodetype == LYS_LEAFLIST && !p.steps.back().has_keys) {
        if (!agent_path{std::vector<path_step>(p.steps.begin(), p.steps.end() - 1)}.keyed()) {
            return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": a list instance needs its keys");
        }
        set_ptr s = find_all(tree, p);
        if (s->count == 0) {
            return result::error(CONFD_ERR_NOEXISTS, path_text(p) + " does not exist");
        }
        lyd_node *first = s->dnodes[0];
        *out = leaf_list_value(lyd_parent(first), first, t);
        return {};
    }
    lyd_node *n = nullptr;
    result r = find_one(tree, p, &n);
    if (!r.ok()) {
        return r;
    }
    if ((t->nodetype & LYD_NODE_TERM) != 0) {
        *out = value_of_term(n);
        return {};
    }
    if (t->nodetype == LYS_CONTAINER && (t->flags & LYS_PRESENCE) != 0) {
        confd_value_t v{};
        CONFD_SET_XMLTAG(&v, schema_.tag(t), schema_.ns(t));
        *out = cvalue::adopt(v);
        return {};
    }
    return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": not a leaf");
}

result store::exists(const lyd_node *tree, const agent_path &p, bool *out) const
{
    if (p.steps.empty()) {
        return result::error(CONFD_ERR_BADPATH, "bad path /: not an element");
    }
    set_ptr s = find_all(tree, p);
    *out = false;
    for (uint32_t i = 0; i < s->count; i++) {
        // An implicit container is not there as far as the operator knows.
        if ((s->dnodes[i]->flags & LYD_DEFAULT) == 0 || s->dnodes[i]->schema->nodetype != LYS_CONTAINER) {
            *out = true;
        }
    }
    return {};
}

result store::num_instances(const lyd_node *tree, const agent_path &p, int64_t *out) const
{
    const lysc_node *t = p.target();
    if (t == nullptr || (t->nodetype & (LYS_LIST | LYS_LEAFLIST)) == 0 || p.steps.back().has_keys) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": not a list");
    }
    set_ptr s = find_all(tree, p);
    *out = s->count;
    return {};
}

result store::set(lyd_node **tree, const agent_path &p, const confd_value_t &v) const
{
    const lysc_node *t = p.target();
    if (t == nullptr || (t->nodetype & LYD_NODE_TERM) == 0) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": not a leaf");
    }
    if (t->nodetype == LYS_LEAFLIST && v.type == C_LIST && !p.steps.back().has_keys) {
        std::vector<std::string> texts;
        for (unsigned i = 0; i < v.val.list.size; i++) {
            std::string text;
            std::string err;
            if (!value_text(t, v.val.list.ptr[i], &text, &err)) {
                return result::error(CONFD_ERR_BADTYPE, err);
            }
            texts.push_back(std::move(text));
        }
        set_ptr old = find_all(*tree, p);
        for (uint32_t i = 0; i < old->count; i++) {
            if (old->dnodes[i] == *tree) {
                *tree = (*tree)->next;
            }
            lyd_free_tree(old->dnodes[i]);
        }
        fix_first(tree);
        for (const std::string &text : texts) {
            result r = set_text(tree, p, text);
            if (!r.ok()) {
                return r;
            }
        }
        return {};
    }
    std::string text;
    std::string err;
    if (!value_text(t, v, &text, &err)) {
        return result::error(CONFD_ERR_BADTYPE, err);
    }
    return set_text(tree, p, text);
}

result store::set_text(lyd_node **tree, const agent_path &p, const std::string &text) const
{
    const lysc_node *t = p.target();
    if (t == nullptr || (t->nodetype & LYD_NODE_TERM) == 0) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": not a leaf");
    }
    std::vector<path_step> parents(p.steps.begin(), p.steps.end() - 1);
    if (!agent_path{parents}.keyed()) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": a list instance needs its keys");
    }
    if (lysc_is_key(t)) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": a key is set by creating its instance");
    }
    std::string path = ly_path(p);
    if (t->nodetype == LYS_LEAFLIST && !p.steps.back().has_keys) {
        std::string q;
        if (!ly_quote(text, &q)) {
            return result::error(CONFD_ERR_BADTYPE, "a value with both quote marks cannot be stored");
        }
        path += "[.=" + q + "]";
        ly_set *found = nullptr;
        if (*tree != nullptr && lyd_find_xpath(*tree, path.c_str(), &found) == LY_SUCCESS && found->count > 0) {
            ly_set_free(found, nullptr);
            return {};
        }
        ly_set_free(found, nullptr);
    }
    lyd_node *created = nullptr;
    LY_ERR rc = lyd_new_path(*tree, schema_.ctx(), path.c_str(), text.c_str(), LYD_NEW_PATH_UPDATE, &created);
    if (rc != LY_SUCCESS && rc != LY_EEXIST) {
        return result::error(CONFD_ERR_BADTYPE,
                             "bad value for " + path_text(p) + ": " + ly_error_text(schema_.ctx()));
    }
    if (*tree == nullptr && created != nullptr) {
        *tree = lyd_first_sibling(created);
        while (lyd_parent(*tree) != nullptr) {
            *tree = lyd_first_sibling(lyd_parent(*tree));
        }
    }
    fix_first(tree);
    return {};
}

result store::create(lyd_node **tree, const agent_path &p) const
{
    const lysc_node *t = p.target();
    bool presence = t != nullptr && t->nodetype == LYS_CONTAINER && (t->flags & LYS_PRESENCE) != 0;
    if (t == nullptr || !(t->nodetype == LYS_LIST || presence)) {
        return result::error(CONFD_ERR_BADPATH,
                             "bad path " + path_text(p) + ": only a list instance or presence container is created");
    }
    if (!p.keyed()) {
        return result::error(CONFD_ERR_BADPATH, "bad path " + path_text(p) + ": a list instance needs its keys");
    }
    set_ptr s = find_all(*tree, p);
    if (s->count > 0) {
        return result::error(CONFD_ERR_ALREADY_EXISTS, path_text(p) + " exists already");
    }
    lyd_node *created = nullptr;
    if (lyd_new_path(*tree, schema_.ctx(), ly_path(p).c_str(), nullptr, 0, &created) != LY_SUCCESS) {
        return result::error(CONFD_ERR_BADTYPE, "cannot create " + path_text(p) + ": " + ly_error_text(schema_.ctx()));
    }
    if (*tree == nullptr && created != nullptr) {
        *tree = created;
        while (lyd_parent(*tree) != nullptr) {
            *tree = lyd_parent(*tree);
        }
    }
    fix_first(tree);
    return {};
}

result store::remove(lyd_node **tree, const agent_path &p) const
{
    if (p.steps.empty()) {
        return result::error(CONFD_ERR_BADPATH, "bad path /: not an element");
    }
    set_ptr s = find_all(*tree, p);
    if (s->count == 0) {
        return result::error(CONFD_ERR_NOEXISTS, path_text(p) + " does not exist");
    }
    for (uint32_t i = 0; i < s->count; i++) {
        lyd_node *n = s->dnodes[i];
        if (n == *tree) {
            *tree = n->next;
        }
        lyd_free_tree(n);
    }
    fix_first(tree);
    return {};
}

result store::validate(tree_ptr &tree) const
{
    lyd_node *t = tree.release();
    LY_ERR rc = lyd_validate_all(&t, schema_.ctx(), LYD_VALIDATE_NO_STATE, nullptr);
    tree.reset(t);
    if (rc != LY_SUCCESS) {
        return result::error(CONFD_ERR_INCONSISTENT_VALUE,
                             "the configuration does not validate: " + ly_error_text(schema_.ctx()));
    }
    return {};
}

result store::print(const lyd_node *tree, const agent_path *p, std::string *out) const
{
    tree_ptr part;
    const lyd_node *what = tree;
    if (p != nullptr && !p->steps.empty()) {
        set_ptr s = find_all(tree, *p);
        for (uint32_t i = 0; i < s->count; i++) {
            lyd_node *copy = nullptr;
            if (lyd_dup_single(s->dnodes[i], nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_PARENTS, &copy) != LY_SUCCESS) {
                return result::error(CONFD_ERR_INTERNAL, "cannot copy " + path_text(*p));
            }
            while (lyd_parent(copy) != nullptr) {
                copy = lyd_parent(copy);
            }
            if (!part) {
                part.reset(copy);
            } else {
                lyd_node *first = part.release();
                lyd_merge_siblings(&first, copy, LYD_MERGE_DESTRUCT);
                part.reset(first);
            }
        }
        what = part.get();
    }
    if (what != nullptr && print_json(what, out) != LY_SUCCESS) {
        return result::error(CONFD_ERR_INTERNAL, "cannot print: " + ly_error_text(schema_.ctx()));
    }
    if (what == nullptr || out->empty()) {
        *out = "{}\n";
    }
    return {};
}

}  // namespace mgmtd
