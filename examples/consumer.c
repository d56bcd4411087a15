/* A program built against an installed kelvo2: checks that the library is
   the one its header describes and moves a point by a bone transform. */
#include <kelvo2.h>

#include <stdio.h>

int main(void) {
    kelvo_transform Bone;
    kelvo_real32 const Position[3] = {10.0f, 0.0f, 0.0f};
    kelvo_real32 const Orientation[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    kelvo_real32 const Scale[9] = {2, 0, 0, 0, 2, 0, 0, 0, 2};
    kelvo_real32 const Point[3] = {1.0f, 2.0f, 3.0f};
    kelvo_real32 Moved[3];

    if (!KelvoVersionsMatch) {
        fprintf(stderr, "library %s does not match header %s\n", KelvoGetVersionString(),
                KelvoProductVersion);
        return 1;
    }
    KelvoSetTransform(&Bone, Position, Orientation, Scale);
    KelvoTransformPoint(Moved, &Bone, Point);
    printf("kelvo2 %s: (%g, %g, %g) -> (%g, %g, %g)\n", KelvoGetVersionString(), Point[0],
           Point[1], Point[2], Moved[0], Moved[1], Moved[2]);
    return Moved[0] == 12.0f && Moved[1] == 4.0f && Moved[2] == 6.0f ? 0 : 1;
}
