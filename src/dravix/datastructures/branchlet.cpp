// dravix.datastructures.branchlet: a named tree element whose text form
// draws the tree below it, one node per line, the way the Linux `tree`
// command does:
//
//   plant
//   |-- stem
//   |   `-- leaf
//   `-- seed
//
// str() walks the tree once with an explicit stack and writes every line
// straight into one buffer: a node's lines get the marks of all its
// ancestors from a prefix stack instead of being re-split and re-indented at
// every level. Children whose class keeps Branchlet.__str__ are drawn inline;
// any other child (plain objects, subclasses with their own __str__) is
// turned into text with str() and re-indented line by line.
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "capi.hpp"
#include "ptrset.hpp"
#include "textbuf.hpp"

namespace {

using capi::Ref;

struct State {
  PyObject *str_name;       // interned "name"
  PyObject *str_children;   // interned "children"
  PyObject *str_append;     // interned "append"
  PyObject *str_dunder_str; // interned "__str__"
  PyObject *own_str;        // Branchlet.__str__ as installed: children whose class resolves to it are drawn inline
  PyObject *all_but_last;   // slice(None, -1)
  PyObject *minus_one;      // -1
};

extern PyModuleDef module_def;

State *state_from(PyObject *self) {
  PyObject *module = capi::module_of(self, &module_def);
  return module ? capi::state_of<State>(module) : nullptr;
}

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
  State *st = state_from(self);
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
  PyObject *argv[1];
  if (capi::parse_args({"add_child", {"item"}, 1}, args, nargs, kwnames, argv) < 0) return nullptr;
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
  Ref children = Ref::steal(PyObject_GetAttr(self, st->str_children));
  if (!children) return nullptr;
  return capi::call_method(children.get(), st->str_append, argv[0]).release();
}

// How a node hangs from its parent: the root has no marks, a middle child
// "|-- " then "|   ", the last child "`-- " then "    ".
enum Mark { ROOT = 0, MIDDLE = 1, LAST = 2 };
constexpr const char *branch_mark[] = {"", "|-- ", "`-- "};
constexpr const char *continuation_mark[] = {"", "|   ", "    "};
constexpr Py_ssize_t mark_width[] = {0, 4, 4};

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

class Renderer {
  State *st_;
  capi::TextBuffer out_;
  std::string prefix_ = "\n";  // a newline, then the continuation marks of every node on the path
  std::vector<Frame> stack_;
  // Owned references: the snapshots of children[:-1] of the frames' exact
  // lists, nested like the frames themselves. Taken entries are nullptr.
  std::vector<PyObject *> pending_;
  capi::PointerSet on_path_;  // the nodes of stack_, to notice a node below itself

  // Writes text as the lines of a node hung with `mark`: the first line after
  // the branch mark, the others after the continuation mark.
  bool write_lines(PyObject *text, Mark mark) {
    const Py_ssize_t prefix_len = static_cast<Py_ssize_t>(prefix_.size());
    if (mark != ROOT &&
        (!out_.ascii(prefix_.data(), prefix_len) || !out_.ascii(branch_mark[mark], mark_width[mark])))
      return false;
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
      if (!out_.append(text, start, nl) || !out_.ascii(prefix_.data(), prefix_len) ||
          !out_.ascii(continuation_mark[mark], mark_width[mark]))
        return false;
      start = nl + 1;
    }
  }

  // 1 with *child set, 0 when children[:-1] is exhausted, -1 on error.
  int next_middle(Frame &f, Ref *child) {
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

  // What the drawing needs to know about a node's class, kept for the last
  // class seen (trees are mostly of one class) while the class's version tag
  // is unchanged: the interpreter clears a class's tag when it or one of its
  // bases is modified, and never hands out the same tag twice. Looking the
  // names up for every node instead costs str() of a 1000-node tree a third
  // more (0.90 M instructions with the facts kept, 1.21 M without).
  struct ClassFacts {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    // The class resolves __str__ to Branchlet.__str__: drawn inline.
    bool ours = false;
    // No __getattribute__/__getattr__ and nothing named `children` on the
    // class: reading it is a plain instance attribute read, which runs no
    // code and, read again with nothing run in between, gives the same object.
    bool plain = false;
  };
  ClassFacts facts_;

  // node.<name>: the class's getattr slot as it is now, the generic one
  // called directly (what PyObject_GetAttr would call for it).
  static Ref read(PyObject *node, PyObject *name) {
    if (Py_TYPE(node)->tp_getattro == PyObject_GenericGetAttr) return Ref::steal(PyObject_GenericGetAttr(node, name));
    return Ref::steal(PyObject_GetAttr(node, name));
  }

  const ClassFacts &facts(PyTypeObject *tp) {
    if (tp == facts_.type && facts_.tag != 0 && tp->tp_version_tag == facts_.tag) return facts_;
    // The tag is taken before the lookups and kept only if they leave it as
    // it was: a lookup may run code (a class-dict key's __eq__) that changes
    // the class while its facts are being read.
    unsigned int tag = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    facts_.type = tp;
    facts_.ours = capi::lookup_on_type(tp, st_->str_dunder_str) == st_->own_str;
    facts_.plain = tp->tp_getattro == PyObject_GenericGetAttr &&
                   capi::lookup_on_type(tp, st_->str_children) == nullptr;
    facts_.tag = tp->tp_version_tag == tag ? tag : 0;
    return facts_;
  }

 public:
  explicit Renderer(State *st) : st_(st) {}
  ~Renderer() {
    for (PyObject *item : pending_) Py_XDECREF(item);
  }

  // Starts drawing `node`, whose class uses Branchlet.__str__: a leaf is
  // written at once, a node with children gets a frame. For the root, a leaf
  // is handed back in *leaf as is (its text is its name, not converted).
  int enter(PyObject *node, Mark mark, Ref *leaf) {
    Ref name = read(node, st_->str_name);
    if (!name) return -1;
    Ref children = read(node, st_->str_children);
    if (!children) return -1;
    // The truth test and the slice each read node.children; for an exact
    // list read as a plain attribute, nothing can run between the two reads.
    bool exact_list = PyList_CheckExact(children.get()) && facts(Py_TYPE(node)).plain;
    int truth = exact_list ? PyList_GET_SIZE(children.get()) > 0 : PyObject_IsTrue(children.get());
    if (truth < 0) return -1;
    bool named = PyUnicode_Check(name.get());
    if (!truth) {
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
    if (on_path_.contains(node)) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while getting the str of an object");
      return -1;
    }
    if (named && !write_lines(name.get(), mark)) return -1;
    Frame f;
    f.node = Ref::borrow(node);
    f.named = named;
    f.mark = mark;
    if (!named) f.bad_name = std::move(name);
    if (exact_list) {
      // children[:-1] of an exact list: the same snapshot, without a list object.
      PyObject *list = children.get();
      Py_ssize_t count = PyList_GET_SIZE(list) - 1;
      f.pending = true;
      f.begin = f.next = static_cast<Py_ssize_t>(pending_.size());
      f.end = f.begin + count;
      for (Py_ssize_t i = 0; i < count; ++i) pending_.push_back(Py_NewRef(PyList_GET_ITEM(list, i)));
    } else {
      children = Ref::steal(PyObject_GetAttr(node, st_->str_children));
      if (!children) return -1;
      f.middle = Ref::steal(PyObject_GetItem(children.get(), st_->all_but_last));
      if (!f.middle) return -1;
      if (!PyList_CheckExact(f.middle.get()) && !PyTuple_CheckExact(f.middle.get())) {
        f.middle = Ref::steal(PyObject_GetIter(f.middle.get()));
        if (!f.middle) return -1;
        f.iterate = true;
      }
    }
    if (on_path_.add(node) < 0) return -1;
    stack_.push_back(std::move(f));
    prefix_.append(continuation_mark[mark], static_cast<size_t>(mark_width[mark]));
    return 0;
  }

  // Draws the children of the frames until the stack is empty.
  int run() {
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
      Mark mark = MIDDLE;
      if (!f.middle_done) {
        int got = next_middle(f, &child);
        if (got < 0) return -1;
        if (got == 0) {
          f.middle_done = true;
          f.middle.reset();
          if (f.pending) pending_.resize(static_cast<size_t>(f.begin));  // every entry was taken
        }
      }
      if (!child) {
        if (f.last_done) {
          prefix_.resize(prefix_.size() - static_cast<size_t>(mark_width[f.mark]));
          on_path_.remove(f.node.get());
          stack_.pop_back();
          continue;
        }
        f.last_done = true;
        mark = LAST;
      }
      if (!child) {
        // node.children[-1], read when its turn comes.
        Ref children = read(f.node.get(), st_->str_children);
        if (!children) return -1;
        if (PyList_CheckExact(children.get())) {
          Py_ssize_t n = PyList_GET_SIZE(children.get());
          if (n == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return -1;
          }
          child = Ref::borrow(PyList_GET_ITEM(children.get(), n - 1));
        } else {
          child = Ref::steal(PyObject_GetItem(children.get(), st_->minus_one));
          if (!child) return -1;
        }
      }
      ++f.shown;
      if (facts(Py_TYPE(child.get())).ours) {
        // f may move when a frame is pushed: it is not used past this point.
        if (enter(child.get(), mark, nullptr) < 0) return -1;
        continue;
      }
      Ref text;
      if (PyUnicode_CheckExact(child.get())) {
        text = std::move(child);  // str() of an exact str is the str itself
      } else {
        text = Ref::steal(PyObject_Str(child.get()));
        if (!text) return -1;
      }
      if (!f.named) continue;  // reported at the top of the loop
      if (!write_lines(text.get(), mark)) return -1;
    }
    return 0;
  }

  PyObject *finish() { return out_.finish(); }
};

PyDoc_STRVAR(branchlet_str_doc,
             "__str__($self, /)\n--\n\n"
             "Return the tree below this node formatted as a string.");

// The text of the tree below self.
PyObject *render(State *st, PyObject *self) {
  try {
    Renderer renderer(st);
    Ref leaf;
    if (renderer.enter(self, ROOT, &leaf) < 0) return nullptr;
    if (leaf) return leaf.release();
    if (renderer.run() < 0) return nullptr;
    return renderer.finish();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

// A child whose class draws it through another __str__ (one that calls
// Branchlet.__str__ in turn) is drawn by a call of its own, nested in this one
// through str(), which counts each such call against the interpreter's C
// recursion limit. In AddressSanitizer builds this function's frame is
// several times what that limit allows for (the renderer's members get
// redzones), so there a call counts kStrWeight - 1 more.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kStrWeight = 4;
#endif

PyObject *branchlet_str(PyObject *self, PyObject *) {
  State *st = state_from(self);
  if (st == nullptr) return nullptr;
#if defined(__SANITIZE_ADDRESS__)
  std::optional<capi::RecursionGuard> more[kStrWeight - 1];
  for (auto &level : more) {
    level.emplace(" while drawing a tree");
    if (!*level) return nullptr;
  }
#endif
  return render(st, self);
}

PyMethodDef branchlet_methods[] = {
    {"__init__", capi::as_cfunc(branchlet_init), METH_FASTCALL | METH_KEYWORDS, branchlet_init_doc},
    {"add_child", capi::as_cfunc(branchlet_add_child), METH_FASTCALL | METH_KEYWORDS, branchlet_add_child_doc},
    {"__str__", capi::as_cfunc(branchlet_str), METH_NOARGS, branchlet_str_doc},
    {nullptr, nullptr, 0, nullptr},
};

// --- module -----------------------------------------------------------------

int module_exec(PyObject *module) {
  State *st = capi::state_of<State>(module);
  if (!(st->str_name = capi::intern("name")) || !(st->str_children = capi::intern("children")) ||
      !(st->str_append = capi::intern("append")) || !(st->str_dunder_str = capi::intern("__str__")))
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
  st->own_str = Py_XNewRef(capi::lookup_on_type(reinterpret_cast<PyTypeObject *>(cls.get()), st->str_dunder_str));
  if (st->own_str == nullptr) {
    PyErr_SetString(PyExc_SystemError, "Branchlet.__str__ is missing");
    return -1;
  }
  return capi::add_global(module, "Branchlet", cls.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc, "Named tree nodes whose text form draws the tree like the Linux `tree` command.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dravix.datastructures.branchlet",
    module_doc,
    sizeof(State),
    nullptr,
    module_slots,
    capi::state_traverse<State>,
    capi::state_clear<State>,
    capi::state_free<State>,
};

}  // namespace

PyMODINIT_FUNC PyInit_branchlet(void) { return PyModuleDef_Init(&module_def); }
