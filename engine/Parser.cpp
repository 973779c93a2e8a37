#include "engine/Parser.h"

#include "engine/Lexer.h"

namespace vbs {
namespace {

constexpr int kMaxDepth = 200;

class Parser {
 public:
  explicit Parser(std::vector<Token> toks) : toks_(std::move(toks)) {}

  Program ParseAll() {
    Program prog;
    prog_ = &prog;
    SkipSeparators();
    bool first = true;
    while (!At(Tok::End)) {
      if (At(Tok::KwOption)) {
        Next();
        if (!AtWord("explicit")) Fail(kExpectedIdentifier);
        if (!first) Fail(kMustBeFirstStatement);
        Next();
        prog.optionExplicit = true;
      } else if (At(Tok::KwClass)) {
        prog.classes.push_back(ParseClass());
      } else if (StartsProcedure()) {
        prog.procs.push_back(ParseProcedure(false));
      } else if (At(Tok::KwPublic) || At(Tok::KwPrivate)) {
        const Token& t = Next();
        if (At(Tok::KwConst)) {
          prog.body.push_back(ParseConst());
        } else {
          auto dim = std::make_unique<DimStmt>();
          dim->line = t.line;
          dim->column = t.column;
          ParseDimList(dim->vars);
          prog.body.push_back(std::move(dim));
        }
      } else {
        Push(prog.body, ParseStatement());
      }
      first = false;
      EndOfStatement();
      SkipSeparators();
    }
    return prog;
  }

  ExprPtr ParseLoneExpression() {
    SkipNewlines();
    auto e = ParseExpr();
    SkipNewlines();
    if (!At(Tok::End)) Fail(kExpectedEndOfStatement);
    return e;
  }

 private:
  // ---- token access
  const Token& Cur() const { return toks_[pos_]; }
  const Token& PeekTok(size_t k = 1) const { return toks_[std::min(pos_ + k, toks_.size() - 1)]; }
  bool At(Tok k) const { return Cur().kind == k; }
  bool AtWord(std::string_view w) const { return At(Tok::Identifier) && NameEquals(Cur().text, w); }
  const Token& Next() {
    const Token& t = toks_[pos_];
    if (pos_ + 1 < toks_.size()) ++pos_;
    return t;
  }
  bool Accept(Tok k) {
    if (!At(k)) return false;
    Next();
    return true;
  }
  void Expect(Tok k, int error) {
    if (!Accept(k)) Fail(error);
  }
  [[noreturn]] void Fail(int number) { FailAt(number, Cur()); }
  [[noreturn]] void FailAt(int number, const Token& t) {
    ScriptError e(number);
    e.line = t.line;
    e.column = t.column;
    throw e;
  }
  bool AtEos() const {
    return At(Tok::Newline) || At(Tok::Colon) || At(Tok::End) ||
           (singleLineIf_ > 0 && At(Tok::KwElse)) || AtEndOfBlock();
  }
  // "End Sub", "End Function", "End Property" and "End Class" also end the statement
  // before them on the same line.
  bool AtEndOfBlock() const {
    if (!At(Tok::KwEnd)) return false;
    Tok k = PeekTok().kind;
    return k == Tok::KwSub || k == Tok::KwFunction || k == Tok::KwProperty || k == Tok::KwClass;
  }
  void EndOfStatement() {
    if (At(Tok::Newline) || At(Tok::Colon) || At(Tok::End) || AtEndOfBlock()) return;
    Fail(kExpectedEndOfStatement);
  }
  // Property is a keyword only where a property procedure begins or ends; elsewhere it
  // is an ordinary name.
  bool AtIdentifier() const { return At(Tok::Identifier) || At(Tok::KwProperty); }
  static void Push(Block& body, StmtPtr st) {
    if (st) body.push_back(std::move(st));  // null: nothing to run (Stop, a procedure)
  }
  void SkipSeparators() {
    while (At(Tok::Newline) || At(Tok::Colon)) Next();
  }
  void SkipNewlines() {
    while (At(Tok::Newline)) Next();
  }
  bool StartsStatement() const {
    switch (Cur().kind) {
      case Tok::Identifier:
      case Tok::Dot:
      case Tok::KwMe:
      case Tok::KwProperty:
      case Tok::KwDim:
      case Tok::KwReDim:
      case Tok::KwErase:
      case Tok::KwConst:
      case Tok::KwIf:
      case Tok::KwSelect:
      case Tok::KwFor:
      case Tok::KwDo:
      case Tok::KwWhile:
      case Tok::KwWith:
      case Tok::KwExit:
      case Tok::KwOn:
      case Tok::KwCall:
      case Tok::KwSet:
      case Tok::KwLet:
        return true;
      default:
        return false;
    }
  }
  std::string ExpectIdentifier() {
    if (!AtIdentifier()) Fail(kExpectedIdentifier);
    return Next().text;
  }
  // After a dot any word is a member name, keywords included (obj.End, Err.Raise).
  std::string ExpectMemberName() {
    if (At(Tok::Identifier) || IsKeyword(Cur().kind)) return Next().text;
    Fail(kExpectedIdentifier);
  }
  struct DepthGuard {
    Parser& p;
    explicit DepthGuard(Parser& parser) : p(parser) {
      if (++p.depth_ > kMaxDepth) p.Fail(kTooDeep);
    }
    ~DepthGuard() { --p.depth_; }
  };
  template <class T>
  std::unique_ptr<T> Make(const Token& at) {
    auto n = std::make_unique<T>();
    n->line = at.line;
    n->column = at.column;
    return n;
  }

  // ---- declarations

  bool StartsProcedure() const {
    size_t k = 0;
    if (PeekTok(0).kind == Tok::KwPublic || PeekTok(0).kind == Tok::KwPrivate) {
      k = 1;
      if (PeekTok(1).kind == Tok::Identifier && NameEquals(PeekTok(1).text, "default")) k = 2;
    }
    Tok t = PeekTok(k).kind;
    if (t == Tok::KwProperty) {
      const Token& what = PeekTok(k + 1);
      return what.kind == Tok::KwLet || what.kind == Tok::KwSet ||
             (what.kind == Tok::Identifier && NameEquals(what.text, "get"));
    }
    return t == Tok::KwSub || t == Tok::KwFunction;
  }

  std::unique_ptr<ProcDecl> ParseProcedure(bool inClass) {
    auto proc = std::make_unique<ProcDecl>();
    bool sawDefault = false;
    if (Accept(Tok::KwPrivate)) {
      proc->isPublic = false;
    } else if (Accept(Tok::KwPublic)) {
      if (AtWord("default")) {
        Next();
        sawDefault = true;
      }
    }
    const Token& kw = Cur();
    proc->line = kw.line;
    proc->column = kw.column;
    Tok endTok;
    if (Accept(Tok::KwSub)) {
      proc->kind = ProcKind::Sub;
      endTok = Tok::KwSub;
    } else if (Accept(Tok::KwFunction)) {
      proc->kind = ProcKind::Function;
      endTok = Tok::KwFunction;
    } else {
      Expect(Tok::KwProperty, kSyntaxError);
      if (!inClass) FailAt(kMustBeInClass, kw);
      if (AtWord("get"))
        proc->kind = ProcKind::PropertyGet;
      else if (At(Tok::KwLet))
        proc->kind = ProcKind::PropertyLet;
      else if (At(Tok::KwSet))
        proc->kind = ProcKind::PropertySet;
      else
        Fail(kExpectedLetSetGet);
      Next();
      endTok = Tok::KwProperty;
    }
    if (sawDefault) {
      if (proc->kind == ProcKind::PropertyLet || proc->kind == ProcKind::PropertySet)
        FailAt(kDefaultOnlyGet, kw);
      proc->isDefault = true;
    }
    proc->name = ExpectIdentifier();
    if (Accept(Tok::LParen)) {
      if (!At(Tok::RParen)) {
        do {
          ParamDecl p;
          if (Accept(Tok::KwByVal))
            p.byVal = true;
          else
            Accept(Tok::KwByRef);
          p.name = ExpectIdentifier();
          if (Accept(Tok::LParen)) Expect(Tok::RParen, kExpectedRParen);
          proc->params.push_back(std::move(p));
        } while (Accept(Tok::Comma));
      }
      Expect(Tok::RParen, kExpectedRParen);
    }
    if ((proc->kind == ProcKind::PropertyLet || proc->kind == ProcKind::PropertySet) &&
        proc->params.empty())
      FailAt(kPropertyNeedsArg, kw);
    EndOfStatement();
    ++procDepth_;
    proc->body = ParseBlock([&] { return At(Tok::KwEnd); });
    --procDepth_;
    Expect(Tok::KwEnd, kExpectedEnd);
    if (!Accept(endTok)) {
      Fail(endTok == Tok::KwSub        ? kExpectedSub
           : endTok == Tok::KwFunction ? kExpectedFunction
                                       : kExpectedProperty);
    }
    return proc;
  }

  std::unique_ptr<ClassDecl> ParseClass() {
    const Token& kw = Next();
    auto cls = std::make_unique<ClassDecl>();
    cls->line = kw.line;
    cls->column = kw.column;
    cls->name = ExpectIdentifier();
    EndOfStatement();
    SkipSeparators();
    while (!At(Tok::KwEnd)) {
      if (At(Tok::End)) Fail(kExpectedEnd);
      if (StartsProcedure()) {
        cls->procs.push_back(ParseProcedure(true));
      } else if (At(Tok::KwPublic) || At(Tok::KwPrivate) || At(Tok::KwDim)) {
        bool isPublic = !At(Tok::KwPrivate);
        Next();
        do {
          FieldDecl f;
          f.line = Cur().line;
          f.isPublic = isPublic;
          f.name = ExpectIdentifier();
          if (Accept(Tok::LParen)) {
            f.isArray = true;
            if (!At(Tok::RParen)) {
              do f.bounds.push_back(ParseExpr());
              while (Accept(Tok::Comma));
            }
            Expect(Tok::RParen, kExpectedRParen);
          }
          cls->fields.push_back(std::move(f));
        } while (Accept(Tok::Comma));
      } else {
        Fail(kExpectedEnd);
      }
      EndOfStatement();
      SkipSeparators();
    }
    Next();
    Expect(Tok::KwClass, kExpectedClass);
    return cls;
  }

  void ParseDimList(std::vector<DimVar>& vars) {
    do {
      DimVar v;
      v.name = Make<NameExpr>(Cur());
      v.name->name = ExpectIdentifier();
      if (Accept(Tok::LParen)) {
        v.isArray = true;
        if (!At(Tok::RParen)) {
          do v.bounds.push_back(ParseExpr());
          while (Accept(Tok::Comma));
        }
        Expect(Tok::RParen, kExpectedRParen);
      }
      vars.push_back(std::move(v));
    } while (Accept(Tok::Comma));
  }

  StmtPtr ParseConst() {
    auto st = Make<ConstStmt>(Next());
    do {
      ConstStmt::Item item;
      item.name = Make<NameExpr>(Cur());
      item.name->name = ExpectIdentifier();
      Expect(Tok::Eq, kExpectedEquals);
      item.value = ParseExpr();
      st->items.push_back(std::move(item));
    } while (Accept(Tok::Comma));
    return st;
  }

  // ---- statements

  template <class Stop>
  Block ParseBlock(Stop stop) {
    DepthGuard guard(*this);
    Block body;
    while (true) {
      SkipSeparators();
      if (At(Tok::End) || stop()) break;
      Push(body, ParseStatement());
      EndOfStatement();
    }
    return body;
  }

  StmtPtr ParseStatement() {
    DepthGuard guard(*this);
    const Token& t = Cur();
    switch (t.kind) {
      case Tok::KwDim: {
        Next();
        auto dim = Make<DimStmt>(t);
        ParseDimList(dim->vars);
        return dim;
      }
      case Tok::KwReDim: {
        Next();
        auto st = Make<ReDimStmt>(t);
        if (AtWord("preserve")) {
          Next();
          st->preserve = true;
        }
        do {
          DimVar v;
          v.name = Make<NameExpr>(Cur());
          v.name->name = ExpectIdentifier();
          v.isArray = true;
          Expect(Tok::LParen, kExpectedLParen);
          do v.bounds.push_back(ParseExpr());
          while (Accept(Tok::Comma));
          Expect(Tok::RParen, kExpectedRParen);
          st->vars.push_back(std::move(v));
        } while (Accept(Tok::Comma));
        return st;
      }
      case Tok::KwErase: {
        Next();
        auto st = Make<EraseStmt>(t);
        do {
          auto n = Make<NameExpr>(Cur());
          n->name = ExpectIdentifier();
          st->targets.push_back(std::move(n));
        } while (Accept(Tok::Comma));
        return st;
      }
      case Tok::KwConst:
        return ParseConst();
      case Tok::KwIf:
        return ParseIf();
      case Tok::KwSelect:
        return ParseSelect();
      case Tok::KwFor:
        return ParseFor();
      case Tok::KwDo:
        return ParseDo();
      case Tok::KwWhile: {
        Next();
        auto st = Make<DoStmt>(t);
        st->cond = DoStmt::Cond::While;
        st->test = ParseExpr();
        EndOfStatement();
        st->body = ParseBlock([&] { return At(Tok::KwWend); });
        Expect(Tok::KwWend, kExpectedWend);
        return st;
      }
      case Tok::KwWith: {
        Next();
        auto st = Make<WithStmt>(t);
        st->object = ParseExpr();
        EndOfStatement();
        st->body = ParseBlock([&] { return At(Tok::KwEnd) && PeekTok().kind == Tok::KwWith; });
        Expect(Tok::KwEnd, kExpectedEnd);
        Expect(Tok::KwWith, kExpectedWith);
        return st;
      }
      case Tok::KwExit: {
        Next();
        auto st = Make<ExitStmt>(t);
        if (Accept(Tok::KwDo))
          st->what = ExitKind::Do;
        else if (Accept(Tok::KwFor))
          st->what = ExitKind::For;
        else if (Accept(Tok::KwSub))
          st->what = ExitKind::Sub;
        else if (Accept(Tok::KwFunction))
          st->what = ExitKind::Function;
        else if (Accept(Tok::KwProperty))
          st->what = ExitKind::Property;
        else
          Fail(kInvalidExit);
        return st;
      }
      case Tok::KwOn: {
        Next();
        auto st = Make<OnErrorStmt>(t);
        if (!AtWord("error")) Fail(kSyntaxError);
        Next();
        if (AtWord("resume")) {
          Next();
          Expect(Tok::KwNext, kSyntaxError);
          st->resumeNext = true;
        } else if (Accept(Tok::KwGoTo)) {
          if (!At(Tok::IntegerLit) || Cur().number != 0) Fail(kSyntaxError);
          Next();
        } else {
          Fail(kSyntaxError);
        }
        return st;
      }
      case Tok::KwCall: {
        Next();
        auto st = Make<CallStmt>(t);
        st->call = ParsePostfix(ParsePrimary());
        if (st->call->kind == ExprKind::Literal) FailAt(kExpectedIdentifier, t);
        return st;
      }
      case Tok::KwSet:
      case Tok::KwLet: {
        Next();
        auto st = Make<AssignStmt>(t);
        st->isSet = t.kind == Tok::KwSet;
        st->target = ParsePostfix(ParsePrimary());
        CheckAssignable(*st->target, t);
        Expect(Tok::Eq, kExpectedEquals);
        st->value = ParseExpr();
        return st;
      }
      case Tok::Identifier:
        if (NameEquals(t.text, "stop")) {
          Next();  // a breakpoint for a debugger: nothing here
          if (AtEos()) return nullptr;
          --pos_;
        }
        return ParseCallOrAssign();
      case Tok::KwProperty:
      case Tok::Dot:
      case Tok::KwMe:
        return ParseCallOrAssign();
      case Tok::KwSub:
      case Tok::KwFunction:
      case Tok::KwPublic:
      case Tok::KwPrivate:
        // A procedure written inside a block of script-level code is declared all the same.
        if (procDepth_ == 0 && prog_ && StartsProcedure()) {
          prog_->procs.push_back(ParseProcedure(false));
          return nullptr;
        }
        Fail(kExpectedStatement);
      case Tok::KwOption:
        Fail(kMustBeFirstStatement);
      case Tok::KwNext:
        Fail(kUnexpectedNext);
      case Tok::KwLoop:
        Fail(kLoopWithoutDo);
      default:
        Fail(kExpectedStatement);
    }
  }

  void CheckAssignable(const Expr& e, const Token& at) {
    if (e.kind != ExprKind::Name && e.kind != ExprKind::Member && e.kind != ExprKind::Index)
      FailAt(kExpectedIdentifier, at);
  }

  StmtPtr ParseCallOrAssign() {
    const Token& start = Cur();
    size_t startPos = pos_;
    lastParen_ = SIZE_MAX;
    ExprPtr target = ParsePostfix(ParsePrimary(), /*statement=*/true);
    if (At(Tok::Eq)) {
      Next();
      auto st = Make<AssignStmt>(start);
      CheckAssignable(*target, start);
      st->target = std::move(target);
      st->value = ParseExpr();
      return st;
    }
    auto st = Make<CallStmt>(start);
    if (AtEos()) {
      if (target->kind == ExprKind::Index && lastParen_ != SIZE_MAX) {
        auto& idx = static_cast<IndexExpr&>(*target);
        // name(a, b) as a statement: the parentheses would have to be an argument list.
        if (idx.args.size() > 1) FailAt(kParensCallingSub, toks_[lastParen_]);
        if (idx.args.size() == 1 && idx.args[0]) {
          auto paren = Make<ParenExpr>(toks_[lastParen_]);
          paren->inner = std::move(idx.args[0]);
          idx.args[0] = std::move(paren);
        }
      }
      st->call = std::move(target);
      return st;
    }
    // Arguments without parentheses. When the chain ended in a parenthesised group, that
    // group was the start of the first argument: parse again up to it.
    if (target->kind == ExprKind::Index && lastParen_ != SIZE_MAX) {
      size_t stopAt = lastParen_;
      pos_ = startPos;
      stopAt_ = stopAt;
      target = ParsePostfix(ParsePrimary(), true);
      stopAt_ = SIZE_MAX;
      if (pos_ != stopAt) Fail(kExpectedEndOfStatement);
    }
    auto call = Make<IndexExpr>(start);
    call->target = std::move(target);
    ParseArgList(call->args, /*closing=*/false);
    if (!AtEos()) Fail(kExpectedEndOfStatement);
    st->call = std::move(call);
    return st;
  }

  // Arguments of a call statement or of f(...); empty arguments are null entries.
  void ParseArgList(std::vector<ExprPtr>& args, bool closing) {
    if (closing && At(Tok::RParen)) return;
    while (true) {
      if (At(Tok::Comma)) {
        args.push_back(nullptr);
      } else if (closing ? At(Tok::RParen) : AtEos()) {
        args.push_back(nullptr);
        break;
      } else {
        args.push_back(ParseExpr());
      }
      if (!Accept(Tok::Comma)) break;
    }
  }

  StmtPtr ParseIf() {
    const Token& t = Next();
    auto st = Make<IfStmt>(t);
    IfStmt::Arm arm;
    arm.cond = ParseExpr();
    Expect(Tok::KwThen, kExpectedThen);
    if (!At(Tok::Newline) && !At(Tok::End)) {
      // Single-line form: statements up to the end of the line, optional Else part.
      ++singleLineIf_;
      arm.body = ParseLineStatements();
      st->arms.push_back(std::move(arm));
      if (Accept(Tok::KwElse)) {
        int before = lineStatements_;
        st->elseBody = ParseLineStatements();
        if (lineStatements_ == before) Fail(kExpectedStatement);
      }
      --singleLineIf_;
      if (At(Tok::KwEnd) && PeekTok().kind == Tok::KwIf) {
        Next();
        Next();
      }
      return st;
    }
    arm.body = ParseBlock([&] {
      return At(Tok::KwElseIf) || At(Tok::KwElse) ||
             (At(Tok::KwEnd) && PeekTok().kind == Tok::KwIf);
    });
    st->arms.push_back(std::move(arm));
    while (At(Tok::KwElseIf)) {
      Next();
      IfStmt::Arm a;
      a.cond = ParseExpr();
      Expect(Tok::KwThen, kExpectedThen);
      a.body = ParseBlock([&] {
        return At(Tok::KwElseIf) || At(Tok::KwElse) ||
               (At(Tok::KwEnd) && PeekTok().kind == Tok::KwIf);
      });
      st->arms.push_back(std::move(a));
    }
    if (Accept(Tok::KwElse)) {
      st->elseBody = ParseBlock([&] { return At(Tok::KwEnd) && PeekTok().kind == Tok::KwIf; });
    }
    Expect(Tok::KwEnd, kExpectedEnd);
    Expect(Tok::KwIf, kExpectedIf);
    return st;
  }

  Block ParseLineStatements() {
    Block body;
    while (true) {
      while (At(Tok::Colon)) Next();
      if (At(Tok::Newline) || At(Tok::End) || At(Tok::KwElse)) break;
      if (At(Tok::KwEnd) && PeekTok().kind == Tok::KwIf) break;
      Push(body, ParseStatement());
      ++lineStatements_;
      if (!At(Tok::Colon)) break;
    }
    return body;
  }

  StmtPtr ParseSelect() {
    const Token& t = Next();
    Expect(Tok::KwCase, kExpectedCase);
    auto st = Make<SelectStmt>(t);
    st->subject = ParseExpr();
    EndOfStatement();
    SkipSeparators();
    auto stop = [&] { return At(Tok::KwCase) || At(Tok::KwEnd); };
    while (At(Tok::KwCase)) {
      Next();
      if (Accept(Tok::KwElse)) {
        st->hasElse = true;
        st->elseBody = ParseBlock(stop);
        if (At(Tok::KwCase)) Fail(kExpectedEnd);
        break;
      }
      SelectStmt::Case c;
      do c.values.push_back(ParseExpr());
      while (Accept(Tok::Comma));
      // Its first statement may follow on the same line.
      if (!At(Tok::Newline) && !At(Tok::Colon) && !StartsStatement())
        Fail(kExpectedEndOfStatement);
      c.body = ParseBlock(stop);
      st->cases.push_back(std::move(c));
    }
    Expect(Tok::KwEnd, kExpectedEnd);
    Expect(Tok::KwSelect, kExpectedSelect);
    return st;
  }

  StmtPtr ParseFor() {
    const Token& t = Next();
    auto nextStop = [&] { return At(Tok::KwNext); };
    if (Accept(Tok::KwEach)) {
      auto st = Make<ForEachStmt>(t);
      auto var = Make<NameExpr>(Cur());
      var->name = ExpectIdentifier();
      st->var = std::move(var);
      Expect(Tok::KwIn, kExpectedIn);
      st->collection = ParseExpr();
      EndOfStatement();
      st->body = ParseBlock(nextStop);
      Expect(Tok::KwNext, kExpectedNext);
      if (At(Tok::Identifier)) Next();
      return st;
    }
    auto st = Make<ForStmt>(t);
    auto var = Make<NameExpr>(Cur());
    if (!AtIdentifier()) Fail(kInvalidForVariable);
    var->name = Next().text;
    st->var = std::move(var);
    Expect(Tok::Eq, kExpectedEquals);
    st->from = ParseExpr();
    Expect(Tok::KwTo, kExpectedTo);
    st->to = ParseExpr();
    if (AtWord("step")) {
      Next();
      st->step = ParseExpr();
    }
    EndOfStatement();
    st->body = ParseBlock(nextStop);
    Expect(Tok::KwNext, kExpectedNext);
    if (At(Tok::Identifier)) Next();
    return st;
  }

  StmtPtr ParseDo() {
    const Token& t = Next();
    auto st = Make<DoStmt>(t);
    if (At(Tok::KwWhile) || At(Tok::KwUntil)) {
      st->cond = Next().kind == Tok::KwWhile ? DoStmt::Cond::While : DoStmt::Cond::Until;
      st->test = ParseExpr();
    }
    if (!At(Tok::Newline) && !At(Tok::Colon)) Fail(kExpectedWhileUntilEos);
    st->body = ParseBlock([&] { return At(Tok::KwLoop); });
    Expect(Tok::KwLoop, kExpectedLoop);
    if (At(Tok::KwWhile) || At(Tok::KwUntil)) {
      if (st->cond != DoStmt::Cond::None) Fail(kExpectedEndOfStatement);
      st->cond = Next().kind == Tok::KwWhile ? DoStmt::Cond::While : DoStmt::Cond::Until;
      st->testAtTop = false;
      st->test = ParseExpr();
    }
    return st;
  }

  // ---- expressions, lowest precedence first

  ExprPtr ParseExpr() {
    DepthGuard guard(*this);
    return ParseImp();
  }

  ExprPtr Binary(BinaryOp op, const Token& at, ExprPtr l, ExprPtr r) {
    auto b = Make<BinaryExpr>(at);
    b->op = op;
    b->left = std::move(l);
    b->right = std::move(r);
    return b;
  }

  ExprPtr ParseImp() {
    auto l = ParseEqv();
    while (At(Tok::KwImp)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Imp, t, std::move(l), ParseEqv());
    }
    return l;
  }
  ExprPtr ParseEqv() {
    auto l = ParseXor();
    while (At(Tok::KwEqv)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Eqv, t, std::move(l), ParseXor());
    }
    return l;
  }
  ExprPtr ParseXor() {
    auto l = ParseOr();
    while (At(Tok::KwXor)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Xor, t, std::move(l), ParseOr());
    }
    return l;
  }
  ExprPtr ParseOr() {
    auto l = ParseAnd();
    while (At(Tok::KwOr)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Or, t, std::move(l), ParseAnd());
    }
    return l;
  }
  ExprPtr ParseAnd() {
    auto l = ParseNot();
    while (At(Tok::KwAnd)) {
      const Token& t = Next();
      l = Binary(BinaryOp::And, t, std::move(l), ParseNot());
    }
    return l;
  }
  ExprPtr ParseNot() {
    if (At(Tok::KwNot)) {
      DepthGuard guard(*this);
      const Token& t = Next();
      auto u = Make<UnaryExpr>(t);
      u->op = UnaryOp::Not;
      u->operand = ParseNot();
      return u;
    }
    return ParseCompare();
  }
  ExprPtr ParseCompare() {
    auto l = ParseConcat();
    while (true) {
      const Token& t = Cur();
      CompareOp op;
      switch (t.kind) {
        case Tok::Eq:
          op = CompareOp::Eq;
          break;
        case Tok::Ne:
          op = CompareOp::Ne;
          break;
        case Tok::Lt:
          op = CompareOp::Lt;
          break;
        case Tok::Gt:
          op = CompareOp::Gt;
          break;
        case Tok::Le:
          op = CompareOp::Le;
          break;
        case Tok::Ge:
          op = CompareOp::Ge;
          break;
        case Tok::KwIs: {
          Next();
          auto is = Make<IsExpr>(t);
          is->left = std::move(l);
          is->right = ParseConcat();
          l = std::move(is);
          continue;
        }
        default:
          return l;
      }
      Next();
      auto c = Make<CompareExpr>(t);
      c->op = op;
      c->left = std::move(l);
      c->right = ParseConcat();
      l = std::move(c);
    }
  }
  ExprPtr ParseConcat() {
    auto l = ParseAdditive();
    while (At(Tok::Amp)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Concat, t, std::move(l), ParseAdditive());
    }
    return l;
  }
  ExprPtr ParseAdditive() {
    auto l = ParseMod();
    while (At(Tok::Plus) || At(Tok::Minus)) {
      const Token& t = Next();
      l = Binary(t.kind == Tok::Plus ? BinaryOp::Add : BinaryOp::Sub, t, std::move(l), ParseMod());
    }
    return l;
  }
  ExprPtr ParseMod() {
    auto l = ParseIntDiv();
    while (At(Tok::KwMod)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Mod, t, std::move(l), ParseIntDiv());
    }
    return l;
  }
  ExprPtr ParseIntDiv() {
    auto l = ParseMul();
    while (At(Tok::Backslash)) {
      const Token& t = Next();
      l = Binary(BinaryOp::IntDiv, t, std::move(l), ParseMul());
    }
    return l;
  }
  ExprPtr ParseMul() {
    auto l = ParseUnary();
    while (At(Tok::Star) || At(Tok::Slash)) {
      const Token& t = Next();
      l = Binary(t.kind == Tok::Star ? BinaryOp::Mul : BinaryOp::Div, t, std::move(l),
                 ParseUnary());
    }
    return l;
  }
  ExprPtr Negated(const Token& t, ExprPtr operand) {
    // A negated numeric literal stays a literal (it matters for comparisons).
    if (operand->kind == ExprKind::Literal) {
      auto& lit = static_cast<LiteralExpr&>(*operand);
      if (lit.value.IsNumeric() && !lit.value.IsEmpty()) {
        lit.value = Negate(lit.value);
        lit.line = t.line;
        lit.column = t.column;
        return operand;
      }
    }
    auto u = Make<UnaryExpr>(t);
    u->op = UnaryOp::Neg;
    u->operand = std::move(operand);
    return u;
  }
  ExprPtr ParseUnary() {
    DepthGuard guard(*this);
    if (At(Tok::KwNot)) return ParseNot();
    return ParsePow();
  }
  // A sign binds tighter than ^ in this language: -3^2 is 9.
  ExprPtr ParsePowOperand() {
    DepthGuard guard(*this);
    if (At(Tok::Minus)) {
      const Token& t = Next();
      return Negated(t, ParsePowOperand());
    }
    if (At(Tok::Plus)) {
      Next();
      return ParsePowOperand();
    }
    if (At(Tok::KwNot)) return ParseNot();
    return ParsePostfix(ParsePrimary());
  }
  ExprPtr ParsePow() {
    auto l = ParsePowOperand();
    while (At(Tok::Caret)) {
      const Token& t = Next();
      l = Binary(BinaryOp::Pow, t, std::move(l), ParsePowOperand());
    }
    return l;
  }

  ExprPtr ParsePostfix(ExprPtr e, bool statement = false) {
    // In a statement, lastParen_ remembers where the groups that end the chain start:
    // in "f (1) + 2, 3" that group is the start of the first argument, not a call.
    while (pos_ != stopAt_) {
      if (At(Tok::Dot) && !Cur().spaceBefore) {
        const Token& t = Next();
        auto m = Make<MemberExpr>(t);
        m->object = std::move(e);
        m->name = ExpectMemberName();
        e = std::move(m);
        if (statement) lastParen_ = SIZE_MAX;
      } else if (At(Tok::LParen) && (e->kind == ExprKind::Name || e->kind == ExprKind::Member ||
                                     e->kind == ExprKind::Index || e->kind == ExprKind::Me ||
                                     e->kind == ExprKind::Paren)) {
        // The first group after the last name: in "Echo (a)(1), 2" the argument list
        // starts there.
        if (statement && lastParen_ == SIZE_MAX) lastParen_ = pos_;
        // (F)(4), ((a))(1): parentheses around what is called or indexed change nothing.
        while (e->kind == ExprKind::Paren) e = std::move(static_cast<ParenExpr&>(*e).inner);
        const Token& t = Next();
        auto idx = Make<IndexExpr>(t);
        idx->target = std::move(e);
        ParseArgList(idx->args, true);
        Expect(Tok::RParen, kExpectedRParen);
        e = std::move(idx);
      } else {
        break;
      }
    }
    return e;
  }

  ExprPtr Literal(const Token& t, Variant v) {
    auto lit = Make<LiteralExpr>(t);
    lit->value = std::move(v);
    return lit;
  }

  ExprPtr ParsePrimary() {
    const Token& t = Cur();
    switch (t.kind) {
      case Tok::IntegerLit:
        Next();
        return Literal(t, Variant::Integer(static_cast<int16_t>(t.number)));
      case Tok::LongLit:
        Next();
        return Literal(t, Variant::Long(static_cast<int32_t>(t.number)));
      case Tok::DoubleLit:
        Next();
        return Literal(t, Variant::Double(t.number));
      case Tok::StringLit:
        Next();
        return Literal(t, Variant::String(t.text));
      case Tok::DateLit:
        Next();
        return Literal(t, Variant::Date(t.number));
      case Tok::KwTrue:
        Next();
        return Literal(t, Variant::Boolean(true));
      case Tok::KwFalse:
        Next();
        return Literal(t, Variant::Boolean(false));
      case Tok::KwEmpty:
        Next();
        return Literal(t, Variant());
      case Tok::KwNull:
        Next();
        return Literal(t, Variant::Null());
      case Tok::KwNothing:
        Next();
        return Literal(t, Variant::Nothing());
      case Tok::KwMe:
        Next();
        return Make<MeExpr>(t);
      case Tok::Identifier:
      case Tok::KwProperty: {
        Next();
        auto n = Make<NameExpr>(t);
        n->name = t.text;
        return n;
      }
      case Tok::Dot: {
        Next();
        auto m = Make<MemberExpr>(t);
        m->name = ExpectMemberName();
        return m;
      }
      case Tok::LParen: {
        Next();
        auto p = Make<ParenExpr>(t);
        p->inner = ParseExpr();
        Expect(Tok::RParen, kExpectedRParen);
        return p;
      }
      case Tok::KwNew: {
        Next();
        auto n = Make<NewExpr>(t);
        n->className = ExpectIdentifier();
        return n;
      }
      default:
        Fail(kExpectedExpression);
    }
  }

  std::vector<Token> toks_;
  size_t pos_ = 0;
  int depth_ = 0;
  int singleLineIf_ = 0;
  int lineStatements_ = 0;
  int procDepth_ = 0;
  Program* prog_ = nullptr;  // where procedures written inside blocks go
  size_t lastParen_ = SIZE_MAX;
  size_t stopAt_ = SIZE_MAX;
};

}  // namespace

Program ParseProgram(std::string_view source, int firstLine) {
  return Parser(Tokenize(source, firstLine)).ParseAll();
}

ExprPtr ParseExpression(std::string_view source) {
  return Parser(Tokenize(source)).ParseLoneExpression();
}

}  // namespace vbs
