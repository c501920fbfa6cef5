// The search for a road's knee, the highest paced rate that it carries without loss: the search
// proposes a rate, the caller runs the road at it and tells whether the rate held. First the rate
// grows by a factor from the start until a rate does not hold or the ceiling holds; then the
// bracket between the highest rate that held and the lowest that did not is halved (at its
// geometric middle, rounded to 100 a second) until its ends are within the resolution of each
// other. A value; use from one thread.
#pragma once

namespace skyloom::bench {

class KneeSearch
{
public:
    struct Plan
    {
        double start = 5000; //< The first rate, messages a second.
        double growth = 2; //< Factor between the rates of the first phase.
        double ceiling = 320000; //< Never tried above: a knee there means "at least".
        double resolution = 1.1; //< The search ends when lost / held is at most this.
    };

    /** Throws std::invalid_argument for a plan that would not end. */
    explicit KneeSearch(const Plan& plan);

    bool done() const { return m_done; }

    /** The rate to run next (while not done()). */
    double rate() const { return m_next; }

    /** What the run at rate() showed. */
    void record(bool held);

    /** The highest rate that held; 0 if none did. */
    double knee() const { return m_held; }

    /** Whether the ceiling held: the road may carry more than knee(). */
    bool atCeiling() const { return m_held >= m_plan.ceiling; }

    /** Rates run so far. */
    int steps() const { return m_steps; }

private:
    Plan m_plan;
    double m_next = 0;
    double m_held = 0;
    double m_lost = 0; //< 0: none lost yet.
    bool m_done = false;
    int m_steps = 0;
};

} // namespace skyloom::bench
