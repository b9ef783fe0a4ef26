// SPDX-License-Identifier: Apache-2.0
// Recursive-descent parser for filter expressions over a small tokenizer.
#include "filter_expr.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zcli {

rk_filter_t *FilterTree::node(int32_t kind) {
    rk_filter_t &n = nodes_.emplace_back();
    n = rk_filter_t{};
    n.kind = kind;
    return &n;
}

const char *FilterTree::keep(std::string s) { return strings_.emplace_back(std::move(s)).c_str(); }

namespace {

enum class Tok { end, ident, text, number, op, lparen, rparen, and_, or_, not_, true_, false_ };

struct Token {
    Tok kind = Tok::end;
    std::string text;
    size_t column = 0;
    double number = 0;
    int32_t op = 0;
};

bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

struct OpText {
    const char *text;
    int32_t op;
};
// Longest spellings first so "<=" wins over "<".
constexpr OpText kOps[] = {{"==", RK_FILTER_EQ}, {"!=", RK_FILTER_NE}, {"<=", RK_FILTER_LE},
                           {">=", RK_FILTER_GE}, {"<", RK_FILTER_LT},  {">", RK_FILTER_GT},
                           {"=", RK_FILTER_EQ}};
constexpr const char *kOpNames[] = {"==", "!=", ">", ">=", "<", "<="};

struct Keyword {
    const char *text;
    Tok kind;
};
constexpr Keyword kKeywords[] = {
    {"and", Tok::and_}, {"or", Tok::or_}, {"not", Tok::not_}, {"true", Tok::true_}, {"false", Tok::false_}};

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    Token next() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
        Token t;
        t.column = i_;
        if (i_ >= s_.size()) return t;
        const char c = s_[i_];
        if (c == '(' || c == ')') {
            ++i_;
            t.kind = c == '(' ? Tok::lparen : Tok::rparen;
            return t;
        }
        if (s_.substr(i_, 2) == "&&" || s_.substr(i_, 2) == "||") {
            t.kind = c == '&' ? Tok::and_ : Tok::or_;
            i_ += 2;
            return t;
        }
        for (const OpText &o : kOps)
            if (s_.substr(i_, std::char_traits<char>::length(o.text)) == o.text) {
                t.kind = Tok::op;
                t.op = o.op;
                t.text = o.text;
                i_ += t.text.size();
                return t;
            }
        if (c == '!') {
            ++i_;
            t.kind = Tok::not_;
            return t;
        }
        if (c == '"' || c == '\'') return quoted(t, c);
        if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') return number(t);
        if (ident_start(c)) {
            while (i_ < s_.size() && ident_char(s_[i_])) t.text += s_[i_++];
            t.kind = Tok::ident;
            for (const Keyword &k : kKeywords)
                if (lower(t.text) == k.text) t.kind = k.kind;
            return t;
        }
        throw ExprError(i_, std::string("unexpected character '") + c + "'");
    }

private:
    Token quoted(Token &t, char q) {
        ++i_;
        for (;;) {
            if (i_ >= s_.size()) throw ExprError(t.column, "unterminated string");
            char c = s_[i_++];
            if (c == q) break;
            if (c == '\\') {
                if (i_ >= s_.size()) throw ExprError(t.column, "unterminated string");
                c = s_[i_++];
                if (c == 'n')
                    c = '\n';
                else if (c == 't')
                    c = '\t';
                else if (c != '\\' && c != '"' && c != '\'')
                    throw ExprError(i_ - 2, "unknown escape in string");
            }
            t.text += c;
        }
        t.kind = Tok::text;
        return t;
    }

    Token number(Token &t) {
        const size_t start = i_;
        while (i_ < s_.size() && (ident_char(s_[i_]) || s_[i_] == '+' || s_[i_] == '-')) ++i_;
        std::string_view lit = s_.substr(start, i_ - start);
        t.text = std::string(lit);
        if (!lit.empty() && lit[0] == '+') lit.remove_prefix(1);
        const auto r = std::from_chars(lit.data(), lit.data() + lit.size(), t.number);
        if (lit.empty() || r.ec != std::errc() || r.ptr != lit.data() + lit.size() ||
            !std::isfinite(t.number))
            throw ExprError(start, "'" + t.text + "' is not a number");
        t.kind = Tok::number;
        return t;
    }

    std::string_view s_;
    size_t i_ = 0;
};

enum class Literal { number, text, boolean };

const char *literal_name(Literal l) {
    return l == Literal::number ? "a number" : l == Literal::text ? "text" : "a boolean";
}

// The literal an entry type is compared with.
Literal literal_of(int32_t meta_type) {
    if (meta_type == RK_META_STRING) return Literal::text;
    if (meta_type == RK_META_BOOL) return Literal::boolean;
    return Literal::number;
}

}  // namespace

class ExprParser {
public:
    ExprParser(std::string_view s, const Schema &schema) : lex_(s), schema_(schema) { advance(); }

    std::unique_ptr<FilterTree> run() {
        tree_ = std::make_unique<FilterTree>();
        tree_->root_ = expr(0);
        if (tok_.kind != Tok::end) fail("unexpected '" + describe() + "' after the expression");
        return std::move(tree_);
    }

private:
    [[noreturn]] void fail(const std::string &m) const { throw ExprError(tok_.column, m); }
    void advance() { tok_ = lex_.next(); }
    std::string describe() const {
        switch (tok_.kind) {
            case Tok::end:
                return "end of expression";
            case Tok::lparen:
                return "(";
            case Tok::rparen:
                return ")";
            case Tok::and_:
                return "and";
            case Tok::or_:
                return "or";
            case Tok::not_:
                return "not";
            default:
                return tok_.text;
        }
    }

    // One level of "a OP b OP c" flattened into a single node.
    rk_filter_t *chain(int depth, Tok joiner, int32_t kind) {
        rk_filter_t *first = kind == RK_FILTER_OR ? chain(depth, Tok::and_, RK_FILTER_AND) : unary(depth);
        if (tok_.kind != joiner) return first;
        std::vector<rk_filter_t *> &kids = tree_->children_.emplace_back(1, first);
        while (tok_.kind == joiner) {
            advance();
            kids.push_back(kind == RK_FILTER_OR ? chain(depth, Tok::and_, RK_FILTER_AND) : unary(depth));
        }
        rk_filter_t *n = tree_->node(kind);
        n->children = kids.data();
        n->child_count = kids.size();
        return n;
    }

    rk_filter_t *expr(int depth) {
        if (depth > kMaxExprDepth) fail("expression is nested too deeply");
        return chain(depth, Tok::or_, RK_FILTER_OR);
    }

    rk_filter_t *unary(int depth) {
        if (depth > kMaxExprDepth) fail("expression is nested too deeply");
        if (tok_.kind == Tok::not_) {
            advance();
            rk_filter_t *child = unary(depth + 1);
            std::vector<rk_filter_t *> &kids = tree_->children_.emplace_back(1, child);
            rk_filter_t *n = tree_->node(RK_FILTER_NOT);
            n->children = kids.data();
            n->child_count = 1;
            return n;
        }
        if (tok_.kind == Tok::lparen) {
            advance();
            rk_filter_t *inner = expr(depth + 1);
            if (tok_.kind != Tok::rparen) fail("expected ')' but found '" + describe() + "'");
            advance();
            return inner;
        }
        return condition();
    }

    rk_filter_t *condition() {
        if (tok_.kind != Tok::ident) fail("expected a metadata key but found '" + describe() + "'");
        const Token key = tok_;
        const auto known = schema_.find(lower(key.text));
        if (!schema_.empty() && known == schema_.end()) fail("unknown metadata key '" + key.text + "'");
        advance();
        if (tok_.kind != Tok::op)
            fail("expected a comparison (==, !=, <, <=, >, >=) after '" + key.text + "'");
        const Token op = tok_;
        advance();
        rk_filter_t *n = tree_->node(RK_FILTER_CONDITION);
        n->key = tree_->keep(key.text);
        n->op = op.op;
        Literal lit;
        if (tok_.kind == Tok::number)
            lit = Literal::number;
        else if (tok_.kind == Tok::text)
            lit = Literal::text;
        else if (tok_.kind == Tok::true_ || tok_.kind == Tok::false_)
            lit = Literal::boolean;
        else
            fail("expected a value (number, \"text\", true or false) after '" + op.text + "'");
        const int32_t type = known != schema_.end()   ? known->second
                             : lit == Literal::number ? RK_META_DOUBLE
                             : lit == Literal::text   ? RK_META_STRING
                                                      : RK_META_BOOL;
        if (literal_of(type) != lit)
            fail("'" + key.text + "' holds " + literal_name(literal_of(type)) + ", not " + literal_name(lit));
        if (lit != Literal::number && op.op != RK_FILTER_EQ && op.op != RK_FILTER_NE)
            fail(std::string(literal_name(lit)) + " only compares with == and !=");
        store(n, type);
        advance();
        return n;
    }

    // The value in the form of the key's entry type.
    void store(rk_filter_t *n, int32_t type) {
        tree_->value_types_[n] = type;
        const double x = tok_.number;
        switch (type) {
            case RK_META_INT32:
            case RK_META_INT64: {
                const double lim = type == RK_META_INT32 ? 2147483648.0 : 9223372036854775808.0;
                if (!(x >= -lim && x < lim) || x != double(int64_t(x)))
                    fail("'" + tok_.text + "' is not a whole number in the range of '" + std::string(n->key) +
                         "'");
                if (type == RK_META_INT32)
                    n->value.i32 = int32_t(x);
                else
                    n->value.i64 = int64_t(x);
                break;
            }
            case RK_META_FLOAT:
                n->value.f32 = float(x);
                break;
            case RK_META_STRING:
                n->value.str = rk_string_t{tree_->keep(tok_.text), tok_.text.size()};
                break;
            case RK_META_BOOL:
                n->value.b = tok_.kind == Tok::true_ ? 1 : 0;
                break;
            default:
                n->value.f64 = x;
                break;
        }
    }

    Lexer lex_;
    const Schema &schema_;
    Token tok_;
    std::unique_ptr<FilterTree> tree_;
};

std::unique_ptr<FilterTree> parse_filter(std::string_view text, const Schema &schema) {
    if (text.size() > kMaxExprLength) throw ExprError(0, "expression is too long");
    ExprParser p(text, schema);
    std::unique_ptr<FilterTree> tree = p.run();
    if (!tree->root()) throw ExprError(0, "empty expression");
    return tree;
}

namespace {

std::string number_text(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

void print(const rk_filter_t *n, const std::map<const rk_filter_t *, int32_t> &types, std::string &out) {
    if (n->kind == RK_FILTER_AND || n->kind == RK_FILTER_OR) {
        out += '(';
        for (uint64_t i = 0; i < n->child_count; ++i) {
            if (i) out += n->kind == RK_FILTER_AND ? " and " : " or ";
            print(n->children[i], types, out);
        }
        out += ')';
        return;
    }
    if (n->kind == RK_FILTER_NOT) {
        out += "not ";
        print(n->children[0], types, out);
        return;
    }
    out += n->key;
    out += ' ';
    out += kOpNames[n->op];
    out += ' ';
    switch (types.at(n)) {
        case RK_META_INT32:
            out += std::to_string(n->value.i32);
            break;
        case RK_META_INT64:
            out += std::to_string(n->value.i64);
            break;
        case RK_META_FLOAT:
            out += number_text(double(n->value.f32));
            break;
        case RK_META_BOOL:
            out += n->value.b ? "true" : "false";
            break;
        case RK_META_STRING:
            out += '"';
            for (uint64_t i = 0; i < n->value.str.len; ++i) {
                const char c = n->value.str.data[i];
                if (c == '"' || c == '\\') out += '\\';
                if (c == '\n')
                    out += "\\n";
                else if (c == '\t')
                    out += "\\t";
                else
                    out += c;
            }
            out += '"';
            break;
        default:
            out += number_text(n->value.f64);
            break;
    }
}

}  // namespace

std::string FilterTree::to_string() const {
    std::string out;
    if (root_) print(root_, value_types_, out);
    return out;
}

}  // namespace zcli
