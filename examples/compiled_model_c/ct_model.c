/* A coordinated-turn transition and a range-bearing measurement written in C
 * for vexel_ckf, with the calling convention of its compiled models:
 *
 *   int f(const double *points, double *images, intptr_t n_points,
 *         intptr_t dim_in, intptr_t dim_out, double dt,
 *         const double *params, intptr_t n_params, void *user_data);
 *
 * points holds n_points states, one per row (C order); each function writes
 * their images, one per row, and returns 0 on success.  The filter calls a
 * function once per step with all of a filter's cubature points, possibly
 * from several threads at once: nothing here keeps state between calls.
 *
 * Build: cc -O2 -shared -fPIC -o ct_model.so ct_model.c -lm
 */
#include <math.h>
#include <stdint.h>

/* Where the range-bearing sensor stands; handed over as user_data. */
struct sensor {
    double x, y;
};

/* State [px, py, vx, vy, omega]: the position turns with the velocity at the
 * constant rate omega (rad/s) for dt seconds. */
int ct_fx(const double *points, double *images, intptr_t n_points, intptr_t dim_in, intptr_t dim_out, double dt,
          const double *params, intptr_t n_params, void *user_data)
{
    (void)params;
    (void)n_params;
    (void)user_data;
    if (dim_in != 5 || dim_out != 5) return 1;
    for (intptr_t i = 0; i < n_points; ++i) {
        const double *x = points + 5 * i;
        double *y = images + 5 * i;
        const double w = x[4], s = sin(w * dt), c = cos(w * dt);
        /* sin(w dt)/w and (1 - cos(w dt))/w, and their limits dt and 0 as
         * the turn rate goes to zero (a straight line). */
        const double a = fabs(w) < 1e-9 ? dt : s / w;
        const double b = fabs(w) < 1e-9 ? 0.0 : (1.0 - c) / w;
        y[0] = x[0] + a * x[2] - b * x[3];
        y[1] = x[1] + b * x[2] + a * x[3];
        y[2] = c * x[2] - s * x[3];
        y[3] = s * x[2] + c * x[3];
        y[4] = w;
    }
    return 0;
}

/* Measurement [range, bearing] of the position from the sensor in
 * user_data. A point on the sensor itself has no bearing: that is a
 * failure (code 2), which the filter reports instead of using a made-up
 * angle. */
int range_bearing_hx(const double *points, double *images, intptr_t n_points, intptr_t dim_in, intptr_t dim_out,
                     double dt, const double *params, intptr_t n_params, void *user_data)
{
    (void)dt;
    (void)params;
    (void)n_params;
    const struct sensor *at = (const struct sensor *)user_data;
    if (dim_in != 5 || dim_out != 2 || at == 0) return 1;
    for (intptr_t i = 0; i < n_points; ++i) {
        const double dx = points[5 * i] - at->x, dy = points[5 * i + 1] - at->y;
        if (dx == 0.0 && dy == 0.0) return 2;
        images[2 * i] = hypot(dx, dy);
        images[2 * i + 1] = atan2(dy, dx);
    }
    return 0;
}
