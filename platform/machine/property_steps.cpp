// `hvsim properties`: a device's property sheet as text, and a person's steps on it written on
// the command line.
#include <hvsim/device_manager.h>

#include <hvsim/format.h>
#include <hvsim/user_hooks.h>

#include <ostream>

namespace hvsim {

namespace {

enum class Kind { Page, Type, Select, Click, Check, Uncheck, Slide, Open, Answer, Ok, Cancel };

struct Step {
    Kind kind;
    std::string text; // as written
    int id = 0;
    std::u16string value;
    int answer = 0;
};

int number(const std::string& text, const std::string& step) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        throw MachineError("step '" + step + "': '" + text + "' is not a number");
    return std::stoi(text);
}

Step parse(const std::string& text) {
    const size_t colon = text.find(':');
    const std::string verb = text.substr(0, colon), rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    Step step{Kind::Ok, text, 0, {}, 0};
    if (colon == std::string::npos) {
        if (verb == "ok") return step;
        if (verb == "cancel") return step.kind = Kind::Cancel, step;
        throw MachineError("unknown step '" + text + "' (hvsim help properties lists the steps)");
    }
    struct Verb {
        const char* name;
        Kind kind;
        bool takes_value;
    };
    static const Verb kVerbs[] = {{"type", Kind::Type, true},        {"select", Kind::Select, true},
                                  {"click", Kind::Click, false},     {"check", Kind::Check, false},
                                  {"uncheck", Kind::Uncheck, false}, {"slide", Kind::Slide, true},
                                  {"open", Kind::Open, false}};
    if (verb == "page") {
        if (rest.empty()) throw MachineError("step '" + text + "' names no page");
        step.kind = Kind::Page;
        step.value = text::from_utf8(rest);
        return step;
    }
    if (verb == "answer") {
        static const std::pair<const char*, int> kAnswers[] = {
            {"yes", IDYES}, {"no", IDNO}, {"ok", IDOK}, {"cancel", IDCANCEL}};
        step.kind = Kind::Answer;
        for (auto& [name, id] : kAnswers)
            if (rest == name) step.answer = id;
        if (!step.answer) throw MachineError("step '" + text + "': the answer is yes, no, ok or cancel");
        return step;
    }
    for (const auto& v : kVerbs) {
        if (verb != v.name) continue;
        step.kind = v.kind;
        const size_t equals = rest.find('=');
        if (v.takes_value != (equals != std::string::npos))
            throw MachineError("step '" + text + "' is written " + v.name + (v.takes_value ? ":ID=VALUE" : ":ID"));
        step.id = number(rest.substr(0, equals), text);
        if (v.takes_value) step.value = text::from_utf8(rest.substr(equals + 1));
        if (step.kind == Kind::Slide) step.answer = number(rest.substr(equals + 1), text);
        return step;
    }
    throw MachineError("unknown step '" + text + "' (hvsim help properties lists the steps)");
}

std::string answer_name(int answer) {
    switch (answer) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDYES: return "Yes";
    case IDNO: return "No";
    case 0: return "no answer";
    default: return std::to_string(answer);
    }
}

class Runner {
public:
    Runner(std::vector<Step> steps, std::ostream& out) : steps_(std::move(steps)), out_(out) {
        boxes_ = user::message_box_transcript().size();
    }

    // Takes steps on the window (a sheet or a dialog) until one ends it or none are left.
    void run(HWND window) {
        ui::Sheet sheet(window);
        while (next_ < steps_.size() && failure_.empty()) {
            const Step& step = steps_[next_++];
            out_ << "> " << step.text << "\n";
            if (!take(step, sheet)) {
                failure_ = "step '" + step.text + "' could not be taken: " + why_;
                out_ << failure_ << "\n";
            }
            ui::wait_idle();
            report_boxes();
            if (!IsWindow(window) || sheet.ended()) return;
            out_ << render(sheet);
        }
    }

    bool failed() const { return !failure_.empty(); }

    // The window drawn, then its controls listed (those of the page shown, on a sheet).
    static std::string render(const ui::Sheet& window) {
        return window.render() + (window.page_window() ? window.page().listing() : window.listing());
    }

private:
    bool fail(std::string why) {
        why_ = std::move(why);
        return false;
    }

    bool is_sheet(const ui::Sheet& window) const { return window.page_window() != nullptr; }

    bool take(const Step& step, const ui::Sheet& window) {
        const ui::Dialog page = is_sheet(window) ? window.page() : ui::Dialog(window.hwnd());
        const std::string control = "control " + std::to_string(step.id) + " is missing, disabled or hidden";
        switch (step.kind) {
        case Kind::Page:
            return window.select_page(step.value) ||
                   fail("no page '" + text::to_utf8(step.value) + "' was shown, or the page kept the sheet");
        case Kind::Type: return page.type(step.id, step.value) || fail(control);
        case Kind::Select: {
            bool done = step.value.size() > 1 && step.value[0] == u'#'
                            ? page.select(step.id, number(text::to_utf8(step.value.substr(1)), step.text))
                            : page.select(step.id, step.value);
            return done || fail(control + ", or it has no such item");
        }
        case Kind::Click: return page.click(step.id) || fail(control);
        case Kind::Check:
        case Kind::Uncheck:
            if (!page.item(step.id)) return fail(control);
            if (const std::string kind = ui::control_kind(page.item(step.id)); kind != "check" && kind != "radio")
                return fail("control " + std::to_string(step.id) + " is a " + kind + ", not a check box");
            if (page.checked(step.id) == (step.kind == Kind::Check)) return true;
            return page.click(step.id) || fail(control);
        case Kind::Slide: return page.slide(step.id, step.answer) || fail(control);
        case Kind::Answer: user::script_message_box_answers({step.answer}); return true;
        case Kind::Ok:
        case Kind::Cancel: {
            const bool ok = step.kind == Kind::Ok;
            const auto button = ok ? ui::SheetButton::Ok : ui::SheetButton::Cancel;
            if (is_sheet(window)) return window.press(button) || fail("the button is disabled");
            return window.click(ok ? IDOK : IDCANCEL) || fail("the dialog has no such button");
        }
        case Kind::Open: return open(step, page);
        }
        return false;
    }

    // The window that the click opens is a modal loop of the Device Manager's thread: the steps
    // that follow are taken there, inside it, as a person at that window would.
    bool open(const Step& step, const ui::Dialog& page) {
        bool visited = false;
        ui::script_modal_visitors({[this, &visited](HWND nested) {
            visited = true;
            ui::Sheet window(nested);
            out_ << render(window);
            run(nested);
            if (IsWindow(nested) && !window.ended()) {
                out_ << "(" << text::to_utf8(window.text()) << " is left open: Cancel)\n";
                if (window.page_window())
                    PostMessageW(nested, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
                else
                    PostMessageW(nested, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        }});
        const bool clicked = page.click(step.id);
        if (!visited) ui::reset_modal_loops();
        if (!clicked) return fail("control " + std::to_string(step.id) + " is missing, disabled or hidden");
        return visited || failed() || fail("it opened no window");
    }

    void report_boxes() {
        auto boxes = user::message_box_transcript();
        for (; boxes_ < boxes.size(); ++boxes_)
            out_ << "message box \"" << text::to_utf8(boxes[boxes_].caption)
                 << "\": " << text::to_utf8(boxes[boxes_].text) << " -> " << answer_name(boxes[boxes_].answer) << "\n";
    }

    std::vector<Step> steps_;
    std::ostream& out_;
    size_t next_ = 0;
    size_t boxes_ = 0;
    std::string failure_, why_;
};

} // namespace

bool run_property_steps(Machine& machine, std::u16string_view device, const std::vector<std::string>& steps,
                        std::ostream& out) {
    std::vector<Step> parsed;
    for (const auto& text : steps) parsed.push_back(parse(text));
    DeviceProperties properties(machine, device);
    ui::Sheet sheet = properties.sheet();
    out << Runner::render(sheet);
    Runner runner(std::move(parsed), out);
    runner.run(sheet.hwnd());
    if (!sheet.ended()) {
        out << "(the sheet is left open: Cancel)\n";
        PostMessageW(sheet.hwnd(), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    }
    if (!properties.wait()) throw MachineError("Device Manager did not end");
    const DevicePropertiesOutcome outcome = properties.outcome();
    out << "The sheet was closed with " << (outcome.sheet_result == 1 ? "OK" : "Cancel") << ".\n";
    if (outcome.device_removed) out << "The device was removed while its sheet was open.\n";
    if (outcome.properties_changed)
        out << (outcome.restarted ? "Its properties changed: the device was restarted.\n"
                                  : "Its properties changed; the device could not be restarted.\n");
    if (outcome.need_restart) out << "The device needs a restart of the machine.\n";
    return !runner.failed();
}

} // namespace hvsim
