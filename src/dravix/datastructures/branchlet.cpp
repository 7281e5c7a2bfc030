// dravix.datastructures.branchlet: a named tree element whose text form
// draws the tree below it, one node per line, the way the Linux `tree`
// command does:
//
//   plant
//   |-- stem
//   |   `-- leaf
//   `-- seed
//
//   Branchlet.__init__   branchlet_init       self.name = name, self.children = children or []
//   Branchlet.add_child  branchlet_add_child  self.children.append(item)
//   Branchlet.__str__    branchlet_str        the tree below the node, drawn by a Renderer
//
// str() walks the tree once with an explicit stack and writes every line
// straight into one buffer: a node's lines get the marks of all its
// ancestors from a prefix stack instead of being re-split and re-indented at
// every level. Children whose class still has Branchlet.__str__ are drawn
// inline; any other child (plain objects, subclasses with their own __str__)
// is turned into text with str() and re-indented line by line.
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "capi.hpp"
#include "ptrset.hpp"
#include "textbuf.hpp"

namespace {

using capi::Ref;

struct State {
  PyObject *str_name, *str_children, *str_append, *str_dunder_str;  // interned names
  PyObject *our_str;       // Branchlet.__str__ as installed
  PyObject *all_but_last;  // slice(None, -1)
  PyObject *minus_one;     // -1
};

extern PyModuleDef module_def;

// --- class Branchlet ----------------------------------------------------------

PyDoc_STRVAR(branchlet_doc,
             "A named tree node whose string form draws the tree below it like the Linux\n"
             "`tree` command.\n\n"
             "Each node has a name and a list of children, which are normally Branchlet\n"
             "nodes themselves; any other object is shown through str(), line by line.\n"
             "A family tree, for instance:\n\n"
             "    >>> ann = Branchlet('Ann', [Branchlet('Bob', [Branchlet('Dan')])])\n"
             "    >>> ann.add_child('Cid\\nand Eve')\n"
             "    >>> print(ann)\n"
             "    Ann\n"
             "    |-- Bob\n"
             "    |   `-- Dan\n"
             "    `-- Cid\n"
             "        and Eve\n");

PyDoc_STRVAR(branchlet_init_doc,
             "__init__($self, /, name, children=None)\n--\n\n"
             "Make a node.\n\n"
             "name is the node's text, a string. children is the list of child nodes;\n"
             "a non-empty list is kept as it is (not copied), an empty or missing one\n"
             "is replaced by a new empty list.");

PyObject *branchlet_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *argv[2];
  if (capi::parse_args({"__init__", {"name", "children"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref children = Ref::borrow(argv[1] ? argv[1] : Py_None);
  int truth = PyObject_IsTrue(children.get());
  if (truth < 0) return nullptr;
  if (!truth) {
    children = Ref::steal(PyList_New(0));
    if (!children) return nullptr;
  }
  if (PyObject_SetAttr(self, st->str_name, argv[0]) < 0) return nullptr;
  if (PyObject_SetAttr(self, st->str_children, children.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(branchlet_add_child_doc,
             "add_child($self, /, item)\n--\n\n"
             "Append item, the child node to add, to this node's children.");

PyObject *branchlet_add_child(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *item = capi::one_arg("add_child", "item", args, nargs, kwnames);
  if (item == nullptr) return nullptr;
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
  Ref children = Ref::steal(PyObject_GetAttr(self, st->str_children));
  if (!children || !capi::call_method(children.get(), st->str_append, item)) return nullptr;
  Py_RETURN_NONE;  // whatever append returned
}

// --- drawing ------------------------------------------------------------------

// How a node hangs from its parent: the root has no marks, a middle child
// "|-- " then "|   ", the last child "`-- " then "    ".
enum Mark { ROOT = 0, MIDDLE = 1, LAST = 2 };
constexpr size_t kMarkRoom = 4;
using Marks = char[3][kMarkRoom];
constexpr Marks branch_mark = {{}, {'|', '-', '-', ' '}, {'`', '-', '-', ' '}};
constexpr Marks continuation_mark = {{}, {'|', ' ', ' ', ' '}, {' ', ' ', ' ', ' '}};
constexpr size_t mark_width[] = {0, kMarkRoom, kMarkRoom};

// What stands in front of every line below the first: a newline, then the
// continuation marks of every node on the path, then room for the marks of
// the line's own node, written there by lead() so that the whole of it is
// copied at once. Its storage grows by doubling; a failed allocation sets
// MemoryError.
class Prefix {
 public:
  bool start() {
    if (!reserve(64)) return false;
    add("\n", 1);
    return true;
  }
  bool push(Mark mark) {
    if (!reserve(mark_width[mark])) return false;
    add(continuation_mark[mark], mark_width[mark]);
    return true;
  }
  void pop(Mark mark) { size_ -= mark_width[mark]; }
  // What goes in front of a line of a node hung with `mark`, with `marks`
  // (branch_mark for its first line, continuation_mark for the others).
  std::string_view lead(const Marks &marks, Mark mark) {
    std::memcpy(chars_.get() + size_, marks[mark], kMarkRoom);
    return {chars_.get(), size_ + mark_width[mark]};
  }

 private:
  void add(const char *chars, size_t n) {
    std::memcpy(chars_.get() + size_, chars, n);
    size_ += n;
  }
  // Room for n more characters and a line's own marks after them.
  bool reserve(size_t n) {
    if (size_ + n + kMarkRoom <= cap_) return true;
    size_t cap = 2 * (size_ + n + kMarkRoom);
    std::unique_ptr<char[]> chars(new (std::nothrow) char[cap]);
    if (!chars) {
      PyErr_NoMemory();
      return false;
    }
    if (size_) std::memcpy(chars.get(), chars_.get(), size_);
    chars_ = std::move(chars);
    cap_ = cap;
    return true;
  }

  std::unique_ptr<char[]> chars_;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// A node with children that is being drawn.
struct Frame {
  Ref node;
  // children[:-1]: for an exact list, a snapshot of its items kept on the
  // renderer's `pending` stack at [next, end); otherwise the slice itself
  // (an exact list or tuple read by position, or an iterator over anything else).
  Ref middle;
  Py_ssize_t begin = 0;
  Py_ssize_t next = 0;
  Py_ssize_t end = 0;
  bool pending = false;
  bool iterate = false;
  bool middle_done = false;
  bool last_done = false;
  bool named = true;      // the name is a str
  Ref bad_name;           // the name when it is not a str
  Py_ssize_t shown = 0;   // children turned into text so far
  Mark mark = ROOT;
};

// What the drawing needs to know about a node's class, kept for the last
// class seen (trees are mostly of one class) for the rest of one str() call,
// while the class's version tag is unchanged: the interpreter clears a
// class's tag when it or one of its bases is modified, and never hands out
// the same tag twice. Nothing is kept from one call to the next. Looking the
// names up for every node instead costs str() of a 1,000-node tree a quarter
// more (release build: 1.42 M instructions instead of 1.15 M).
struct ClassFacts {
  PyTypeObject *type = nullptr;
  unsigned int tag = 0;
  // The class still has Branchlet.__str__: its nodes are drawn inline.
  bool ours = false;
  // No __getattribute__/__getattr__ and nothing named `children` on the
  // class: reading it is a plain instance attribute read, which runs no
  // code and, read again with nothing run in between, gives the same object.
  bool plain_children = false;
};

// Draws the tree below one node, for one str() call: it walks the tree with
// an explicit stack of frames, one per node whose children are being drawn,
// and writes every line straight into one buffer behind the continuation
// marks of the nodes above it.
class Renderer {
 public:
  explicit Renderer(State *st) : st_(st) {}
  ~Renderer() {
    for (PyObject *item : pending_) Py_XDECREF(item);
  }
  Renderer(const Renderer &) = delete;
  Renderer &operator=(const Renderer &) = delete;

  // The text of the tree below root (new reference, or nullptr).
  PyObject *draw(PyObject *root);

 private:
  int enter(PyObject *node, Mark mark, Ref *leaf);
  int write_leaf(Ref name, bool named, Mark mark, Ref *leaf);
  int open_frame(PyObject *node, Mark mark, Ref name, bool named, PyObject *list);
  int snapshot_middle(Frame &f, PyObject *list);
  int slice_middle(Frame &f, PyObject *node);
  int run();
  int next_child(Frame &f, Ref *child, Mark *mark);
  int next_middle(Frame &f, Ref *child);
  int last_child(Frame &f, Ref *child);
  int draw_child(Frame &f, Ref child, Mark mark);
  void leave();
  bool write_lines(PyObject *text, Mark mark);
  bool ascii(std::string_view chars) { return out_.ascii(chars.data(), static_cast<Py_ssize_t>(chars.size())); }
  const ClassFacts &facts(PyTypeObject *tp);
  static Ref read(PyObject *node, PyObject *name);

  State *st_;
  capi::TextBuffer out_;
  Prefix prefix_;
  std::vector<Frame> stack_;
  // Owned references: the snapshots of children[:-1] of the frames' exact
  // lists, nested like the frames themselves. Taken entries are nullptr.
  std::vector<PyObject *> pending_;
  capi::PointerSet on_path_;  // the nodes of stack_, to notice a node below itself
  ClassFacts facts_;
};

PyObject *Renderer::draw(PyObject *root) {
  Ref leaf;
  if (!prefix_.start() || enter(root, ROOT, &leaf) < 0) return nullptr;
  if (leaf) return leaf.release();
  if (run() < 0) return nullptr;
  return out_.finish();
}

// Starts drawing `node`, whose class uses Branchlet.__str__: a leaf is written
// at once, a node with children gets a frame.
int Renderer::enter(PyObject *node, Mark mark, Ref *leaf) {
  Ref name = read(node, st_->str_name);
  if (!name) return -1;
  Ref children = read(node, st_->str_children);
  if (!children) return -1;
  // The truth test and the slice each read node.children; for an exact
  // list read as a plain attribute, nothing can run between the two reads.
  bool exact_list = PyList_CheckExact(children.get()) && facts(Py_TYPE(node)).plain_children;
  int truth = exact_list ? PyList_GET_SIZE(children.get()) > 0 : PyObject_IsTrue(children.get());
  if (truth < 0) return -1;
  bool named = PyUnicode_Check(name.get());
  if (!truth) return write_leaf(std::move(name), named, mark, leaf);
  if (on_path_.contains(node)) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while getting the str of an object");
    return -1;
  }
  if (named && !write_lines(name.get(), mark)) return -1;
  return open_frame(node, mark, std::move(name), named, exact_list ? children.get() : nullptr);
}

// A node without children: its text is its name. The root's is handed back
// in *leaf as it is (not converted); a child's is written, and must be a str.
int Renderer::write_leaf(Ref name, bool named, Mark mark, Ref *leaf) {
  if (mark == ROOT) {
    *leaf = std::move(name);
    return 0;
  }
  if (!named) {
    // What str() of this child says about its name.
    PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(name.get())->tp_name);
    return -1;
  }
  return write_lines(name.get(), mark) ? 0 : -1;
}

// Pushes the frame of a node with children, with children[:-1] taken now:
// from `list`, the exact list read as node.children, else as a slice.
int Renderer::open_frame(PyObject *node, Mark mark, Ref name, bool named, PyObject *list) {
  Frame f;
  f.node = Ref::borrow(node);
  f.named = named;
  f.mark = mark;
  if (!named) f.bad_name = std::move(name);
  if ((list ? snapshot_middle(f, list) : slice_middle(f, node)) < 0) return -1;
  if (on_path_.add(node) < 0 || capi::push(stack_, std::move(f)) < 0) return -1;
  return prefix_.push(mark) ? 0 : -1;
}

// children[:-1] of an exact list: the same snapshot, without a list object.
int Renderer::snapshot_middle(Frame &f, PyObject *list) {
  Py_ssize_t count = PyList_GET_SIZE(list) - 1;
  f.pending = true;
  f.begin = f.next = static_cast<Py_ssize_t>(pending_.size());
  f.end = f.begin + count;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *item = Py_NewRef(PyList_GET_ITEM(list, i));
    if (capi::push(pending_, item) < 0) {
      Py_DECREF(item);  // the list holds it too
      return -1;
    }
  }
  return 0;
}

// node.children[:-1], read again as Python code reads it: kept as it is when
// it is an exact list or tuple, else iterated.
int Renderer::slice_middle(Frame &f, PyObject *node) {
  Ref children = Ref::steal(PyObject_GetAttr(node, st_->str_children));
  if (!children) return -1;
  f.middle = Ref::steal(PyObject_GetItem(children.get(), st_->all_but_last));
  if (!f.middle) return -1;
  if (PyList_CheckExact(f.middle.get()) || PyTuple_CheckExact(f.middle.get())) return 0;
  f.middle = Ref::steal(PyObject_GetIter(f.middle.get()));
  f.iterate = true;
  return f.middle ? 0 : -1;
}

// Draws the children of the frames until the stack is empty.
int Renderer::run() {
  while (!stack_.empty()) {
    Frame &f = stack_.back();
    if (!f.named && f.shown > 0) {
      // The first child's text would now be added to the name. A name that
      // is not a str is refused here, never extended in place.
      PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for +=: '%.100s' and 'str'",
                   Py_TYPE(f.bad_name.get())->tp_name);
      return -1;
    }
    Ref child;
    Mark mark;
    int got = next_child(f, &child, &mark);
    if (got < 0) return -1;
    if (got == 0)
      leave();
    else if (draw_child(f, std::move(child), mark) < 0)
      return -1;
  }
  return 0;
}

// The next child of f and how it hangs: 1, or 0 when f has drawn them all,
// -1 on error.
int Renderer::next_child(Frame &f, Ref *child, Mark *mark) {
  if (!f.middle_done) {
    *mark = MIDDLE;
    int got = next_middle(f, child);
    if (got != 0) return got;
    f.middle_done = true;
    f.middle.reset();
    if (f.pending) pending_.resize(static_cast<size_t>(f.begin));  // every entry was taken
  }
  if (f.last_done) return 0;
  f.last_done = true;
  *mark = LAST;
  return last_child(f, child);
}

// The next of children[:-1]: 1 with *child set, 0 when they are exhausted, -1 on error.
int Renderer::next_middle(Frame &f, Ref *child) {
  if (f.pending) {
    if (f.next >= f.end) return 0;
    *child = Ref::steal(pending_[static_cast<size_t>(f.next)]);
    pending_[static_cast<size_t>(f.next++)] = nullptr;
    return 1;
  }
  if (f.iterate) {
    PyObject *item = PyIter_Next(f.middle.get());
    if (item == nullptr) return PyErr_Occurred() ? -1 : 0;
    *child = Ref::steal(item);
    return 1;
  }
  PyObject *seq = f.middle.get();
  if (PyList_CheckExact(seq)) {
    if (f.next >= PyList_GET_SIZE(seq)) return 0;
    *child = Ref::borrow(PyList_GET_ITEM(seq, f.next++));
    return 1;
  }
  if (f.next >= PyTuple_GET_SIZE(seq)) return 0;
  *child = Ref::borrow(PyTuple_GET_ITEM(seq, f.next++));
  return 1;
}

// node.children[-1], read when its turn comes: 1 with *child set, -1 on error.
int Renderer::last_child(Frame &f, Ref *child) {
  Ref children = read(f.node.get(), st_->str_children);
  if (!children) return -1;
  if (!PyList_CheckExact(children.get())) {
    *child = Ref::steal(PyObject_GetItem(children.get(), st_->minus_one));
    return *child ? 1 : -1;
  }
  Py_ssize_t n = PyList_GET_SIZE(children.get());
  if (n == 0) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return -1;
  }
  *child = Ref::borrow(PyList_GET_ITEM(children.get(), n - 1));
  return 1;
}

// Draws a child of f hung with `mark`: inline when its class still has
// Branchlet.__str__, else its str() line by line. f may move when the child
// gets a frame: it is not used after that.
int Renderer::draw_child(Frame &f, Ref child, Mark mark) {
  ++f.shown;
  // str() of an exact str is the str itself (and str has no Branchlet.__str__:
  // the class facts are kept for the nodes' class, not asked for str).
  Ref text;
  if (PyUnicode_CheckExact(child.get())) {
    text = std::move(child);
  } else {
    if (facts(Py_TYPE(child.get())).ours) return enter(child.get(), mark, nullptr);
    text = Ref::steal(PyObject_Str(child.get()));
    if (!text) return -1;
  }
  if (!f.named) return 0;  // refused at the next step of run()
  return write_lines(text.get(), mark) ? 0 : -1;
}

// Closes the frame on top of the stack: all its children are drawn.
void Renderer::leave() {
  Frame &f = stack_.back();
  prefix_.pop(f.mark);
  on_path_.remove(f.node.get());
  stack_.pop_back();
}

// Writes text as the lines of a node hung with `mark`: the first line after
// the branch mark, the others after the continuation mark.
bool Renderer::write_lines(PyObject *text, Mark mark) {
  if (mark != ROOT && !ascii(prefix_.lead(branch_mark, mark))) return false;
  const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
  const bool narrow = PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND;
  const char *data = static_cast<const char *>(PyUnicode_DATA(text));
  Py_ssize_t start = 0;
  for (;;) {
    Py_ssize_t nl;
    if (narrow) {
      const void *hit = std::memchr(data + start, '\n', static_cast<size_t>(len - start));
      nl = hit ? static_cast<const char *>(hit) - data : -1;
    } else {
      nl = PyUnicode_FindChar(text, '\n', start, len, 1);
      if (nl == -2) return false;
    }
    if (nl < 0) return out_.append(text, start, len);
    if (!out_.append(text, start, nl) || !ascii(prefix_.lead(continuation_mark, mark))) return false;
    start = nl + 1;
  }
}

inline const ClassFacts &Renderer::facts(PyTypeObject *tp) {
  if (tp == facts_.type && facts_.tag != 0 && tp->tp_version_tag == facts_.tag) return facts_;
  // The tag is taken before the lookups and kept only if they leave it as
  // it was: a lookup may run code (a class-dict key's __eq__) that changes
  // the class while its facts are being read.
  unsigned int tag = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
  facts_.type = tp;
  facts_.ours = capi::method_is_ours(tp, st_->str_dunder_str, st_->our_str);
  facts_.plain_children =
      tp->tp_getattro == PyObject_GenericGetAttr && capi::lookup_on_type(tp, st_->str_children) == nullptr;
  facts_.tag = tp->tp_version_tag == tag ? tag : 0;
  return facts_;
}

// node.<name>: the class's getattr slot as it is now, the generic one called
// directly (what PyObject_GetAttr would call for it).
Ref Renderer::read(PyObject *node, PyObject *name) {
  if (Py_TYPE(node)->tp_getattro == PyObject_GenericGetAttr) return Ref::steal(PyObject_GenericGetAttr(node, name));
  return Ref::steal(PyObject_GetAttr(node, name));
}

// --- class Branchlet (continued) ------------------------------------------------

PyDoc_STRVAR(branchlet_str_doc,
             "__str__($self, /)\n--\n\n"
             "Return the tree below this node formatted as a string.");

PyObject *branchlet_str(PyObject *self, PyObject *) {
  State *st = capi::state_of<State>(self, &module_def);
  if (st == nullptr) return nullptr;
#if defined(__SANITIZE_ADDRESS__)
  // A child whose class draws it through another __str__ (one that calls
  // Branchlet.__str__ in turn) is drawn by a call of its own, nested in this
  // one through str(), which counts each such call against the interpreter's
  // C recursion limit. In AddressSanitizer builds the frames of such a call
  // are several times what that limit allows for (the renderer's members get
  // redzones), so there a call counts 3 more.
  capi::RecursionGuard heavier(" while drawing a tree", 3);
  if (!heavier) return nullptr;
#endif
  return Renderer(st).draw(self);
}

PyMethodDef branchlet_methods[] = {
    {.ml_name = "__init__", .ml_meth = capi::as_cfunc(branchlet_init), .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = branchlet_init_doc},
    {.ml_name = "add_child", .ml_meth = capi::as_cfunc(branchlet_add_child),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS, .ml_doc = branchlet_add_child_doc},
    {.ml_name = "__str__", .ml_meth = capi::as_cfunc(branchlet_str), .ml_flags = METH_NOARGS,
     .ml_doc = branchlet_str_doc},
    {},
};

// --- module -----------------------------------------------------------------

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (capi::intern_all({{&st->str_name, "name"},
                        {&st->str_children, "children"},
                        {&st->str_append, "append"},
                        {&st->str_dunder_str, "__str__"}}) < 0)
    return -1;
  st->minus_one = PyLong_FromLong(-1);
  if (st->minus_one == nullptr) return -1;
  st->all_but_last = PySlice_New(nullptr, st->minus_one, nullptr);
  if (st->all_but_last == nullptr) return -1;

  Ref bases = capi::tuple_of(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
  if (!bases) return -1;
  Ref cls = capi::make_class(module, reinterpret_cast<PyObject *>(&PyType_Type), "Branchlet", bases.get(),
                             branchlet_doc, nullptr);
  if (!cls || capi::install_methods(cls.get(), branchlet_methods) < 0) return -1;
  st->our_str = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_dunder_str));
  if (st->our_str == nullptr) {
    PyErr_SetString(PyExc_SystemError, "Branchlet.__str__ is missing");
    return -1;
  }
  return capi::add_global(module, "Branchlet", cls.get());
}

PyDoc_STRVAR(module_doc, "Named tree nodes whose text form draws the tree like the Linux `tree` command.");

PyModuleDef module_def = capi::module_def<State, module_exec>("dravix.datastructures.branchlet", module_doc);

}  // namespace

PyMODINIT_FUNC PyInit_branchlet(void) { return PyModuleDef_Init(&module_def); }
